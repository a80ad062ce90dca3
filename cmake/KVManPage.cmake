# The manual page kvhost(1), made from the tool's own help at build time so that it never
# drifts from it: help2man turns `kvhost --help` into the page and each `kvhost COMMAND --help`
# into a section of its own; the exit-code table that ends every help becomes EXIT STATUS.
# cmake -DKVHOST=<program> -DHELP2MAN=<help2man> -DVERSION=<x.y.z> -DEXTRA=<h2m file>
#       -DOUT=<kvhost.1> -P KVManPage.cmake
foreach(var KVHOST HELP2MAN VERSION EXTRA OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "KVManPage.cmake: ${var} is not set")
  endif()
endforeach()

function(kv_help2man out_var)
  execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
                          --name "examine, drive and render Kolvex plug-ins" ${ARGN} ${KVHOST}
                  OUTPUT_VARIABLE page RESULT_VARIABLE failed ERROR_VARIABLE why)
  if(failed)
    message(FATAL_ERROR "help2man ${ARGN}: ${why}")
  endif()
  set(${out_var} "${page}" PARENT_SCOPE)
endfunction()

# The part of `text` from the line after `from` up to `to` (or the end).
function(kv_between text from to out_var)
  string(FIND "${text}" "${from}" start)
  if(start LESS 0)
    message(FATAL_ERROR "KVManPage.cmake: no \"${from}\" in the generated page")
  endif()
  string(LENGTH "${from}" skip)
  math(EXPR start "${start} + ${skip}")
  string(SUBSTRING "${text}" ${start} -1 rest)
  string(FIND "${rest}" "${to}" end)
  string(SUBSTRING "${rest}" 0 ${end} part)
  set(${out_var} "${part}" PARENT_SCOPE)
endfunction()

# The commands, as `kvhost --help` lists them.
execute_process(COMMAND ${KVHOST} --help OUTPUT_VARIABLE help RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${KVHOST} --help failed")
endif()
kv_between("${help}" "\nSubcommands:\n" "\n\n" listing)
string(REGEX MATCHALL "(^|\n)  [a-z0-9]+" commands "${listing}")
list(TRANSFORM commands STRIP)
if(NOT commands)
  message(FATAL_ERROR "KVManPage.cmake: no commands in `kvhost --help`")
endif()

# One section per command: its synopsis, what it does, its arguments and options.
set(include "")
foreach(command ${commands})
  kv_help2man(page "--help-option=${command} --help")
  kv_between("${page}" ".SH SYNOPSIS\n.B kvhost\n" "\n" usage)
  string(REPLACE "\\fI\\,${command} \\/\\fR" "" usage "${usage}")
  kv_between("${page}" ".SH DESCRIPTION\n" ".SS \"Exit codes:\"" body)
  string(REPLACE ".SH OPTIONS\n" ".SS \"Options:\"\n" body "${body}")
  string(REPLACE ".TP\n\\fB\\-h\\fR,\\-\\-help\nPrint this help message and exit\n" "" body
                 "${body}")
  string(TOUPPER "${command}" title)
  # On one line: a line that starts with '[' would open a section of the include file.
  string(APPEND include "[KVHOST ${title}]\n\\fBkvhost ${command}\\fR ${usage}\n.PP\n${body}\n")
endforeach()
file(READ ${EXTRA} extra)
file(WRITE ${OUT}.h2m "${include}${extra}")

kv_help2man(page --include=${OUT}.h2m)
string(REPLACE ".SS \"Subcommands:\"" ".SH COMMANDS" page "${page}")
string(REPLACE ".SS \"Exit codes:\"" ".SH \"EXIT STATUS\"" page "${page}")
file(WRITE ${OUT} "${page}")
