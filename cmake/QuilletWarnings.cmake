# Warnings for the project's own targets only; QUILLET_WERROR (set by CI,
# never by default) makes them errors.
function(quillet_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${QUILLET_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                                             $<$<BOOL:${QUILLET_WERROR}>:-Werror>)
  endif()
endfunction()
