add_test([=[AllocatorTest.Smoke]=]  /work/main/build/dev/tests/memory/memory_test [==[--gtest_filter=AllocatorTest.Smoke]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[AllocatorTest.Smoke]=]  PROPERTIES WORKING_DIRECTORY /work/main/build/dev/tests/memory SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==] ENVIRONMENT [==[YR_TEST_BINARY_DIR=/work/main/build/dev]==])
set(  memory_test_TESTS AllocatorTest.Smoke)
