# Warnings are errors everywhere in the project's own code.
add_compile_options(-Wall -Wextra -Werror)

# VANTOR_SANITIZER: empty, "address" (ASan + UBSan) or "thread" (TSan).
set(VANTOR_SANITIZER "" CACHE STRING "Sanitizer build: empty, address or thread")
if(VANTOR_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(VANTOR_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VANTOR_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown VANTOR_SANITIZER '${VANTOR_SANITIZER}'")
endif()
