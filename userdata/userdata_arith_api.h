// Script API of typed-array arithmetic: the element-wise methods and
// metamethods of USERDATA, copy and take, and the vector and matrix methods.
#pragma once

#include <cstdint>

#include "lua.hpp"

// What an element-wise call, a copy or a take costs beyond its elements and
// spans: reading up to nine arguments, checking the operands, picking the loop.
constexpr int64_t elementwise_call_cycles = 8;
// magnitude and distance beyond their elements: the records read and the
// square root, whose latency alone is several cycles.
constexpr int64_t root_call_cycles = 3;
// A sum taken in order (magnitude, distance, dot, each element of a matrix
// product) is a chain of additions, each waiting on the one before: a long
// one is paced by that chain, not by its multiplications. Its steps are
// charged this many a cycle beyond the charge by multiply-add.
constexpr int64_t sum_steps_per_cycle = 4;

// add ... shr are also the metamethods __add ... __shr.
int lua54_ud_add(lua_State *L);
int lua54_ud_sub(lua_State *L);
int lua54_ud_mul(lua_State *L);
int lua54_ud_div(lua_State *L);
int lua54_ud_idiv(lua_State *L);
int lua54_ud_mod(lua_State *L);
int lua54_ud_pow(lua_State *L);
int lua54_ud_band(lua_State *L);
int lua54_ud_bor(lua_State *L);
int lua54_ud_bxor(lua_State *L);
int lua54_ud_shl(lua_State *L);
int lua54_ud_shr(lua_State *L);
int lua54_ud_max(lua_State *L);
int lua54_ud_min(lua_State *L);
int lua54_ud_abs(lua_State *L);
int lua54_ud_sgn(lua_State *L);
int lua54_ud_sgn0(lua_State *L);

int lua54_ud_copy(lua_State *L);
int lua54_ud_take(lua_State *L);

int lua54_ud_lerp(lua_State *L);
int lua54_ud_magnitude(lua_State *L);
int lua54_ud_distance(lua_State *L);
int lua54_ud_dot(lua_State *L);
int lua54_ud_cross(lua_State *L);
int lua54_ud_matmul(lua_State *L);
int lua54_ud_matmul3d(lua_State *L);
int lua54_ud_matmul2d(lua_State *L);
int lua54_ud_transpose(lua_State *L);
int lua54_ud_row(lua_State *L);
int lua54_ud_column(lua_State *L);
