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
