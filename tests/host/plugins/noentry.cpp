// test_noentry: a shared library that exports nothing a host looks for.
extern "C" int test_noentry_answer() {
    return 42;
}
