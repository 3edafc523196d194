# Lock rules checked by the compiler. With VELMORA_THREAD_SAFETY every target is built by clang
# with -Wthread-safety, and any warning fails the build: the engine's guarded state and the
# functions that need or take its locks carry the attributes of
# engine/src/sync/thread_annotations.h. The test command builds the engine so
# (scripts/run_tests.sh).
option(VELMORA_THREAD_SAFETY "Check the engine's lock annotations (clang only; any warning fails the build)" OFF)

if(VELMORA_THREAD_SAFETY)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VELMORA_THREAD_SAFETY needs clang (Debian package clang): "
                        "configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-Wthread-safety -Werror)
  message(STATUS "Thread-safety analysis: on, warnings are errors")
endif()
