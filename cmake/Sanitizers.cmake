# Sanitizer builds: set QUILLORA_SANITIZE to a list such as "address;undefined" or "thread".
#
# The flags go on every target defined after this file is included (the program, its libraries, the tests,
# the benchmarks), so the whole program is instrumented the same way. Undefined behaviour aborts instead of printing and
# carrying on, so that it fails the test that hit it. The runtime options the tests run with (leak
# checking, the suppression files under sanitizers/) are set by the Makefile's test-asan and test-tsan.

set(QUILLORA_SANITIZE "" CACHE STRING "Sanitizers for every target: \"address;undefined\", \"thread\" or empty")
set_property(CACHE QUILLORA_SANITIZE PROPERTY STRINGS "" "address;undefined" "address" "undefined" "thread")

if(QUILLORA_SANITIZE)
  foreach(sanitizer IN LISTS QUILLORA_SANITIZE)
    if(NOT sanitizer MATCHES "^(address|undefined|thread)$")
      message(FATAL_ERROR "QUILLORA_SANITIZE: unknown sanitizer \"${sanitizer}\" (address, undefined, thread)")
    endif()
  endforeach()
  if("thread" IN_LIST QUILLORA_SANITIZE AND "address" IN_LIST QUILLORA_SANITIZE)
    message(FATAL_ERROR "QUILLORA_SANITIZE: thread and address cannot be combined")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "QUILLORA_SANITIZE needs GCC or Clang")
  endif()

  # -O1 keeps the instrumented build fast enough to run the whole suite while leaving stacks readable;
  # assertions stay on. Used unless a build type was chosen on the command line.
  set(CMAKE_CXX_FLAGS_SANITIZE "-O1 -g" CACHE STRING "Compiler flags of the Sanitize build type")
  mark_as_advanced(CMAKE_CXX_FLAGS_SANITIZE)
  if("$CACHE{CMAKE_BUILD_TYPE}" STREQUAL "")
    set(CMAKE_BUILD_TYPE Sanitize)
  endif()

  if("thread" IN_LIST QUILLORA_SANITIZE)
    # Preloaded into the test runs so that programs started with QProcess do not derail the runtime (see the
    # source). Defined before the flags below: it must not be instrumented itself.
    add_library(quillora_tsan_vfork MODULE "${CMAKE_CURRENT_LIST_DIR}/../sanitizers/TsanVforkClone.cpp")
    target_link_libraries(quillora_tsan_vfork PRIVATE quillora_warnings ${CMAKE_DL_LIBS})
  endif()

  list(JOIN QUILLORA_SANITIZE "," sanitizers)
  set(sanitizer_flags -fsanitize=${sanitizers} -fno-omit-frame-pointer)
  if("undefined" IN_LIST QUILLORA_SANITIZE)
    list(APPEND sanitizer_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${sanitizer_flags})
  add_link_options(${sanitizer_flags})
  message(STATUS "Sanitizers: ${sanitizers} (build type ${CMAKE_BUILD_TYPE})")
endif()
