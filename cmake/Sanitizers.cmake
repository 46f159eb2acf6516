# KORVANE_SANITIZE=address builds everything with ASan and UBSan,
# KORVANE_SANITIZE=thread with TSan. Applies to the library and its tests alike.
if(KORVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KORVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KORVANE_SANITIZE must be empty, 'address' or 'thread'")
endif()

# KORVANE_FUZZ instruments everything for libFuzzer under ASan and UBSan, so
# that coverage reaches into the library; only the fuzz binaries link the engine.
if(KORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KORVANE_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  if(KORVANE_SANITIZE STREQUAL "thread")
    message(FATAL_ERROR "KORVANE_FUZZ runs under ASan and UBSan, not TSan")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
