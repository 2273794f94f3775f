# dropvan_link_check(<module> <what it may use...>): a program that links every
# object of dropvan_<module> with nothing but the libraries named, so that a
# module that calls into one it must not know fails the build (the static
# library alone would leave the call for a later link to resolve).
function(dropvan_link_check module)
  set(check_source ${CMAKE_BINARY_DIR}/link_check_main.cc)
  if(NOT EXISTS ${check_source})
    file(WRITE ${check_source} "int main() { return 0; }\n")
  endif()
  add_executable(dropvan_${module}_alone ${check_source})
  target_link_libraries(dropvan_${module}_alone PRIVATE -Wl,--whole-archive dropvan_${module} -Wl,--no-whole-archive
                        ${ARGN})
endfunction()
