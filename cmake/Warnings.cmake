# Warning flags for every target of ours.
function(plovane_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${PLOVANE_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
      $<$<BOOL:${PLOVANE_WERROR}>:-Werror>)
  endif()
endfunction()
