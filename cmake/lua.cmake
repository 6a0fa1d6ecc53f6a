# The Lua core: the pristine 5.4.2 release (hash-checked), unpacked into the
# build tree, our patch series from lua/patches applied in order, compiled as
# C++ so that a Lua error unwinds C++ destructors.

set(LUA_TARBALL_SHA256 11570d97e9d7303c0a59567ed1ac7c648340cd0db10d5fd594c09223ef2f524f)
set(KESTRUNE_LUA_TARBALL "" CACHE FILEPATH "Lua 5.4.2 release tarball (fetched into the cache when empty)")

if(NOT KESTRUNE_LUA_TARBALL OR NOT EXISTS "${KESTRUNE_LUA_TARBALL}")
  execute_process(COMMAND "${PROJECT_SOURCE_DIR}/tools/fetch_lua.sh"
                  OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "could not fetch the Lua 5.4.2 tarball (tools/fetch_lua.sh)")
  endif()
  set(KESTRUNE_LUA_TARBALL "${fetched}" CACHE FILEPATH "" FORCE)
endif()

file(SHA256 "${KESTRUNE_LUA_TARBALL}" lua_tarball_hash)
if(NOT lua_tarball_hash STREQUAL LUA_TARBALL_SHA256)
  message(FATAL_ERROR "${KESTRUNE_LUA_TARBALL}: sha256 ${lua_tarball_hash}, expected ${LUA_TARBALL_SHA256}")
endif()

# Re-unpack whenever the series changes, so the tree always equals release + series.
file(GLOB lua_patches CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/lua/patches/*.patch")
list(SORT lua_patches)
set(lua_series_id "${lua_tarball_hash}")
foreach(p IN LISTS lua_patches)
  file(SHA256 "${p}" h)
  string(APPEND lua_series_id ";${h}")
endforeach()
string(SHA256 lua_series_id "${lua_series_id}")

set(LUA_TREE "${CMAKE_BINARY_DIR}/lua-5.4.2")
set(lua_stamp "${LUA_TREE}/.series")
set(lua_old_id "")
if(EXISTS "${lua_stamp}")
  file(READ "${lua_stamp}" lua_old_id)
endif()
if(NOT lua_old_id STREQUAL lua_series_id)
  file(REMOVE_RECURSE "${LUA_TREE}")
  file(ARCHIVE_EXTRACT INPUT "${KESTRUNE_LUA_TARBALL}" DESTINATION "${CMAKE_BINARY_DIR}")
  foreach(p IN LISTS lua_patches)
    execute_process(COMMAND patch -p1 --batch --forward --silent -i "${p}"
                    WORKING_DIRECTORY "${LUA_TREE}" RESULT_VARIABLE patch_result)
    if(NOT patch_result EQUAL 0)
      message(FATAL_ERROR "lua patch does not apply: ${p}")
    endif()
  endforeach()
  file(WRITE "${lua_stamp}" "${lua_series_id}")
endif()

# The interpreter loop (lvm.c) is one function whose handlers all jump to each
# other through the dispatch table. GCC's global common-subexpression pass
# hoists loads across that web of computed gotos, which lengthens the paths
# between dispatches and makes the loop keep values on the stack; without it
# the loop executes 2-7% fewer instructions per script (bench/interp_bench).
set(LUA_VM_FLAGS "$<$<CXX_COMPILER_ID:GNU>:-fno-gcse>")

set(lua_core_sources lapi lcode lctype ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes
    lparser lstate lstring ltable ltm lundump lvm lzio
    lauxlib lbaselib lcorolib ldblib liolib lmathlib loadlib loslib lstrlib ltablib lutf8lib linit)
list(TRANSFORM lua_core_sources PREPEND "${LUA_TREE}/src/")
list(TRANSFORM lua_core_sources APPEND ".c")
set_source_files_properties(${lua_core_sources} PROPERTIES LANGUAGE CXX)

add_library(lua_core STATIC ${lua_core_sources})
target_include_directories(lua_core SYSTEM PUBLIC "${LUA_TREE}/src")
# The release's own makefile configuration for Linux.
target_compile_definitions(lua_core PUBLIC LUA_COMPAT_5_3 LUA_USE_LINUX)
target_compile_options(lua_core PRIVATE -w)
set_source_files_properties("${LUA_TREE}/src/lvm.c" PROPERTIES COMPILE_OPTIONS "${LUA_VM_FLAGS}")
target_link_libraries(lua_core PUBLIC ${CMAKE_DL_LIBS} m)
# The core runs on the kernel's cycle counters and RAM readers (src/lkernel.h),
# defined in kestrune_core: a cycle of static libraries, which CMake links twice.
target_link_libraries(lua_core INTERFACE kestrune_core)

# The unchanged release, for the interpreter benchmark only (bench/ calls this):
# a second extraction, each file compiled as C++ inside namespace pristine_lua so
# that both cores live in one program; same flags and one translation unit per
# file, like lua_core. Also holds bench/pristine/runner.cpp, the benchmark's only
# way into it.
function(kestrune_add_lua_pristine)
  set(tree "${CMAKE_BINARY_DIR}/lua-pristine/lua-5.4.2")
  if(NOT EXISTS "${tree}/.extracted")
    file(REMOVE_RECURSE "${CMAKE_BINARY_DIR}/lua-pristine")
    file(ARCHIVE_EXTRACT INPUT "${KESTRUNE_LUA_TARBALL}" DESTINATION "${CMAKE_BINARY_DIR}/lua-pristine")
    file(WRITE "${tree}/.extracted" "")
  endif()
  set(sources "")
  foreach(name IN ITEMS lapi lcode lctype ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes
                        lparser lstate lstring ltable ltm lundump lvm lzio
                        lauxlib lbaselib lcorolib ldblib liolib lmathlib loadlib loslib lstrlib
                        ltablib lutf8lib linit)
    set(wrapper "${CMAKE_BINARY_DIR}/lua-pristine/${name}.cpp")
    file(CONFIGURE OUTPUT "${wrapper}" CONTENT
         "// Generated: ${name}.c of the unchanged release, in namespace pristine_lua.\n#include \"pristine_std.h\"\nnamespace pristine_lua {\n#include \"${name}.c\"\n}\n")
    list(APPEND sources "${wrapper}")
  endforeach()
  set(here "${PROJECT_SOURCE_DIR}/bench/pristine")
  add_library(lua_pristine STATIC ${sources} "${here}/runner.cpp")
  target_include_directories(lua_pristine PRIVATE "${tree}/src")
  target_include_directories(lua_pristine PUBLIC "${here}")
  target_compile_definitions(lua_pristine PRIVATE LUA_COMPAT_5_3 LUA_USE_LINUX)
  target_compile_options(lua_pristine PRIVATE -w)
  # the same flags as ours for its interpreter loop
  set_source_files_properties("${CMAKE_BINARY_DIR}/lua-pristine/lvm.cpp" PROPERTIES
                              COMPILE_OPTIONS "${LUA_VM_FLAGS}")
  target_link_libraries(lua_pristine PUBLIC ${CMAKE_DL_LIBS} m)
endfunction()
