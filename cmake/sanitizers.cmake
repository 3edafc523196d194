# Sanitized builds for the test command. VELMORA_SANITIZE lists the sanitizers to build every
# target with: "address;undefined" (the module and the engine, run under python3.9 with the
# runtime preloaded) or "thread" (the engine with a C++ driver: Python itself is not built
# for it). Empty, the default, is the normal build.
set(VELMORA_SANITIZE "" CACHE STRING "Sanitizers for every target: address;undefined, or thread")

if(VELMORA_SANITIZE)
  # Commas too, because a list with semicolons is awkward to pass through pip and shells.
  string(REPLACE "," ";" velmora_sanitizers "${VELMORA_SANITIZE}")
  foreach(sanitizer IN LISTS velmora_sanitizers)
    if(NOT sanitizer MATCHES "^(address|undefined|thread)$")
      message(FATAL_ERROR "VELMORA_SANITIZE: unknown sanitizer '${sanitizer}'; "
                          "use address, undefined or thread")
    endif()
  endforeach()
  if("thread" IN_LIST velmora_sanitizers AND "address" IN_LIST velmora_sanitizers)
    message(FATAL_ERROR "VELMORA_SANITIZE: thread and address cannot share one build")
  endif()

  list(JOIN velmora_sanitizers "," velmora_sanitizer_flag)
  # Frame pointers and line tables, so that every report names the lines involved.
  add_compile_options(-fsanitize=${velmora_sanitizer_flag} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${velmora_sanitizer_flag})
  if("undefined" IN_LIST velmora_sanitizers)
    # Undefined behaviour ends the process, so that a test cannot pass over a report.
    add_compile_options(-fno-sanitize-recover=undefined)
    # Except the enumeration range check: the engine's enumerations are unscoped with no fixed
    # underlying type, yet the interface carries values that have no enumerator (any 32-bit
    # value, e.g. KWIXRole(2**32 - 1) or an engine's newer error code), and every one of them
    # is a 32-bit int in this ABI (the headers assert it). Loading such a value is what the
    # interface is for, not a fault to stop on.
    add_compile_options(-fno-sanitize=enum)
  endif()
  message(STATUS "Sanitizers: ${velmora_sanitizer_flag}")
endif()
