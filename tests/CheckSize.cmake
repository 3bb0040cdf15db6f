# Fails when brindle.exe is larger than LIMIT bytes: the release executable is what
# users copy and download, and it must stay small as features are added.
# Run with -DEXECUTABLE=<brindle.exe> -DLIMIT=<bytes>.
cmake_minimum_required(VERSION 3.20)
if(NOT EXISTS "${EXECUTABLE}")
  message(FATAL_ERROR "${EXECUTABLE} does not exist")
endif()
file(SIZE "${EXECUTABLE}" size)
if(size GREATER LIMIT)
  math(EXPR over "${size} - ${LIMIT}")
  message(FATAL_ERROR "${EXECUTABLE} is ${size} bytes, ${over} over the limit of ${LIMIT}")
endif()
math(EXPR spare "${LIMIT} - ${size}")
message(STATUS "${EXECUTABLE} is ${size} bytes, ${spare} under the limit of ${LIMIT}")
