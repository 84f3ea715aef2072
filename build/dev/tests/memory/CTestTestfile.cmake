# CMake generated Testfile for 
# Source directory: /work/main/tests/memory
# Build directory: /work/main/build/dev/tests/memory
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/dev/tests/memory/memory_test[1]_include.cmake")
