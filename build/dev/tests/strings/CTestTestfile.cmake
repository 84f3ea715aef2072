# CMake generated Testfile for 
# Source directory: /work/main/tests/strings
# Build directory: /work/main/build/dev/tests/strings
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/dev/tests/strings/strings_test[1]_include.cmake")
