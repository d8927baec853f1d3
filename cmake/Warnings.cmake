# Warning flags shared by every target of the project.
add_library(vendrix_warnings INTERFACE)
target_compile_options(vendrix_warnings INTERFACE -Wall -Wextra -Wno-missing-field-initializers
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>)
if(VENDRIX_WERROR)
  target_compile_options(vendrix_warnings INTERFACE -Werror)
endif()
