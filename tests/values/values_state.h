// Shared by the values tests: a fresh process table with a root process whose
// state has the registry's functions, code run on it, and results shown with
// their Lua types.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernel/accounting.h"
#include "kernel/process.h"
#include "kernel/system.h"
#include "lua.hpp"
#include "tests/kernel/script_api_fixture.h"

namespace values_test {

using script_api_test::R;
using script_api_test::run_on;
using script_api_test::show;

// The script-API harness with no cycle cap: values code runs unsliced.
class ValuesState : public script_api_test::ScriptApi {
 protected:
  void SetUp() override {
    ScriptApi::SetUp();
    cpu_cycles_max = 0x7FFFFFFF;
  }

  // A process (created by the current one) with the bindings.
  static process *new_process(const char *name, const char *path) {
    return create_process_from_code("", name, path);
  }

  // Runs code as process P (then the root is current again).
  static R run_as(process *P, const std::string &code) {
    process *was = cproc;
    cproc = P;
    R r = run(code);
    cproc = was;
    return r;
  }
};

}  // namespace values_test
