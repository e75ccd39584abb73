# How the scheduling examples name a program by its absolute path.
#
# corvandel_systemd_exec(<path> <variable>): the path as the program of a
# systemd ExecStart= line. A path of plain characters stands as it is; any
# other is one double-quoted word with each "%" doubled, since systemd
# expands specifiers in the line (it expands "$" variables in the arguments
# only). systemd refuses a program whose path holds a quote, a backslash or
# a control character however it is written: such a path is written as it
# is, with a warning, and the unit fails to load with systemd's reason.
#
# corvandel_cron_exec(<path> <variable>): the path as the first word of a
# crontab command. Any other than plain characters is single-quoted for the
# shell, and each "%" escaped, since cron turns a bare one into a newline.
function(corvandel_systemd_exec path variable)
  if(path MATCHES "^[A-Za-z0-9/._+-]+$")
    set(${variable} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(ASCII 1 first_control)
  string(ASCII 31 last_control)
  string(ASCII 127 delete)
  if(path MATCHES "[\"'\\${first_control}-${last_control}${delete}]")
    message(WARNING "systemd does not start a program whose path holds a quote, a backslash or a "
                    "control character: ${path}")
  endif()
  string(REPLACE "%" "%%" quoted "${path}")
  set(${variable} "\"${quoted}\"" PARENT_SCOPE)
endfunction()

function(corvandel_cron_exec path variable)
  if(path MATCHES "^[A-Za-z0-9/._+-]+$")
    set(${variable} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "'" "'\\''" quoted "${path}")
  string(REPLACE "%" "\\%" quoted "${quoted}")
  set(${variable} "'${quoted}'" PARENT_SCOPE)
endfunction()
