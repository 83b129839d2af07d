# Warnings for the project's own targets only. QUILLET_WERROR turns them into
# errors; CI sets it, users never get it by default.
function(quillet_set_warnings target)
  if(QUILLET_WERROR)
    if(MSVC)
      target_compile_options(${target} PRIVATE /W4 /WX)
    else()
      target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    endif()
  endif()
endfunction()
