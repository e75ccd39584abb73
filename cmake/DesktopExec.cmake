# corvandel_desktop_exec(<path> <variable>): the path as the program of a
# desktop entry's Exec key. A path of plain characters stands as it is;
# any other is quoted, with the characters that a quoted argument reserves
# escaped, and then every backslash doubled, since the key's value is a
# string that undoes one level of backslashes itself.
function(corvandel_desktop_exec path variable)
  if(path MATCHES "^[A-Za-z0-9/._+-]+$")
    set(${variable} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\" "\\\\" quoted "${path}")
  string(REPLACE "\"" "\\\"" quoted "${quoted}")
  string(REPLACE "`" "\\`" quoted "${quoted}")
  string(REPLACE "$" "\\$" quoted "${quoted}")
  string(REPLACE "%" "%%" quoted "${quoted}")
  string(REPLACE "\\" "\\\\" quoted "${quoted}")
  set(${variable} "\"${quoted}\"" PARENT_SCOPE)
endfunction()
