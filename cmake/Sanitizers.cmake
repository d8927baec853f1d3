# VENDRIX_SANITIZE=address builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# VENDRIX_SANITIZE=thread with ThreadSanitizer. Applied globally so that tests and library agree.
if(VENDRIX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(VENDRIX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VENDRIX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VENDRIX_SANITIZE must be empty, 'address' or 'thread'")
endif()
