# How test programs run, and kv_discover_tests(), the one way test groups register their
# GoogleTest cases.
#
# A 64-bit build runs its tests natively. A 32-bit build (the x86 preset) first asks the
# machine: a tiny 32-bit program is built and run at configure time. Some machines of our
# kind run it, some refuse every 32-bit executable ("Exec format error"). The answer picks
# KV_TEST_MODE:
#   native    tests run as built;
#   emulated  tests run under user-mode emulation (qemu-i386), through
#             CMAKE_CROSSCOMPILING_EMULATOR, discovery included;
#   built     neither is possible: everything is built (so the record layouts' static
#             checks hold) and no test is registered; ./dev says "32-bit tests not run".
# -DKV_X86_EMULATOR=qemu-i386 forces the emulated path on any machine, so it cannot rot
# where 32-bit programs run natively.

set(KV_X86_EMULATOR "" CACHE STRING
    "Run 32-bit test programs under this emulator even where they run natively")

set(KV_TEST_MODE native)
set(KV_TEST_MODE_REASON "")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  if(KV_X86_EMULATOR)
    find_program(KV_X86_EMULATOR_PATH NAMES ${KV_X86_EMULATOR})
    if(NOT KV_X86_EMULATOR_PATH)
      message(FATAL_ERROR "KV_X86_EMULATOR=${KV_X86_EMULATOR}: no such program (apt-get install qemu-user)")
    endif()
    set(KV_TEST_MODE emulated)
    set(KV_TEST_MODE_REASON "forced by KV_X86_EMULATOR")
  else()
    set(probe_dir ${CMAKE_BINARY_DIR}/kv_x86_probe)
    file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
    try_run(probe_run probe_built ${probe_dir}/build ${probe_dir}/probe.c
            COMPILE_OUTPUT_VARIABLE probe_compile RUN_OUTPUT_VARIABLE probe_output)
    if(NOT probe_built)
      message(FATAL_ERROR "cannot build a 32-bit program (is g++-multilib installed?):\n${probe_compile}")
    endif()
    if(probe_run EQUAL 0)
      set(KV_TEST_MODE native)
    else()
      find_program(KV_X86_EMULATOR_PATH NAMES qemu-i386 qemu-i386-static)
      if(KV_X86_EMULATOR_PATH)
        set(KV_TEST_MODE emulated)
        set(KV_TEST_MODE_REASON "this machine does not run 32-bit programs")
      else()
        set(KV_TEST_MODE built)
        set(KV_TEST_MODE_REASON
            "this machine does not run 32-bit programs and qemu-i386 is missing (apt-get install qemu-user)")
      endif()
    endif()
  endif()
  if(KV_TEST_MODE STREQUAL "emulated")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KV_X86_EMULATOR_PATH})
  endif()
endif()
message(STATUS "kv: test programs run ${KV_TEST_MODE} ${KV_TEST_MODE_REASON}")
# Read back by ./dev for its summary.
set(KV_TEST_MODE_RESULT "${KV_TEST_MODE}" CACHE INTERNAL "how this tree's tests run")
set(KV_TEST_MODE_WHY "${KV_TEST_MODE_REASON}" CACHE INTERNAL "why")

# kv_discover_tests(<target> [PREFIX <prefix>] [TIMEOUT <seconds>])
# Lists the program's cases when the tests run (never at build time, where the program may
# not run), under the emulator where there is one. Death tests re-execute the program
# ("threadsafe"), except under the emulator, which cannot re-execute a 32-bit program: there
# they fork only ("fast").
function(kv_discover_tests target)
  cmake_parse_arguments(ARG "" "PREFIX;TIMEOUT" "" ${ARGN})
  if(KV_TEST_MODE STREQUAL "built")
    return()
  endif()
  set(args DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  if(ARG_PREFIX)
    list(APPEND args TEST_PREFIX "${ARG_PREFIX}")
  endif()
  if(ARG_TIMEOUT)
    list(APPEND args PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endif()
  if(KV_TEST_MODE STREQUAL "emulated")
    list(APPEND args EXTRA_ARGS --gtest_death_test_style=fast)
  else()
    list(APPEND args EXTRA_ARGS --gtest_death_test_style=threadsafe)
  endif()
  gtest_discover_tests(${target} ${args})
endfunction()
