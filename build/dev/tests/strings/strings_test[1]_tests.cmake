add_test([=[StringIdTest.Smoke]=]  /work/main/build/dev/tests/strings/strings_test [==[--gtest_filter=StringIdTest.Smoke]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[StringIdTest.Smoke]=]  PROPERTIES WORKING_DIRECTORY /work/main/build/dev/tests/strings SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==] ENVIRONMENT [==[YR_TEST_BINARY_DIR=/work/main/build/dev]==])
set(  strings_test_TESTS StringIdTest.Smoke)
