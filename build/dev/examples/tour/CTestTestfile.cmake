# CMake generated Testfile for 
# Source directory: /work/main/examples/tour
# Build directory: /work/main/build/dev/examples/tour
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
