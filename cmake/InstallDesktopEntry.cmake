# Run by `cmake --install`: writes the desktop entries (the Host's launcher in the application
# menu, also the handler of "quillmerehost:" links, and the file manager's send-files entry) with
# the installed Host's absolute path as the program of every Exec= line, quoted and escaped as
# desktop entries require, each line keeping its own arguments, so that they work from a prefix
# that is not on PATH. Expects QM_DESKTOP_TEMPLATES (a
# list of entries whose Exec= lines start with the bare program name), QM_INSTALL_BINDIR and
# QM_INSTALL_DATADIR; CMAKE_INSTALL_PREFIX is the prefix of this installation.
set(executable "${CMAKE_INSTALL_PREFIX}/${QM_INSTALL_BINDIR}/QuillmereHost")
if(IS_ABSOLUTE "${QM_INSTALL_BINDIR}")
  set(executable "${QM_INSTALL_BINDIR}/QuillmereHost")
endif()
# Inside double quotes `"`, backquote, `$` and backslash take a backslash; the desktop file's own
# string escaping then doubles every backslash; `%` is written `%%` (field codes).
set(argument "${executable}")
string(REPLACE "\\" "\\\\" argument "${argument}")
string(REPLACE "\"" "\\\"" argument "${argument}")
string(REPLACE "`" "\\`" argument "${argument}")
string(REPLACE "$" "\\$" argument "${argument}")
string(REPLACE "\\" "\\\\" argument "${argument}")
string(REPLACE "%" "%%" argument "${argument}")
# A regular expression's replacement reads backslashes as escapes of its own.
string(REPLACE "\\" "\\\\" replacement "${argument}")
set(folder "${CMAKE_INSTALL_PREFIX}/${QM_INSTALL_DATADIR}/applications")
if(IS_ABSOLUTE "${QM_INSTALL_DATADIR}")
  set(folder "${QM_INSTALL_DATADIR}/applications")
endif()
foreach(template IN LISTS QM_DESKTOP_TEMPLATES)
  file(READ "${template}" entry)
  # The program is the first word of the line; what follows it (`%u`, `--send-files %F`) stays.
  string(REGEX REPLACE "\nExec=QuillmereHost([ \n])" "\nExec=\"${replacement}\"\\1" entry "${entry}")
  # An entry that would start anything else, or the bare name from PATH, is not installed.
  string(FIND "${entry}" "\nExec=\"${argument}\"" named)
  string(REGEX MATCH "\nExec=[^\"]" unnamed "${entry}")
  if(named EQUAL -1 OR unnamed)
    message(FATAL_ERROR "${template}: every Exec= line must start with QuillmereHost")
  endif()
  get_filename_component(name "${template}" NAME)
  set(target "$ENV{DESTDIR}${folder}/${name}")
  message(STATUS "Installing: ${target}")
  file(WRITE "${target}" "${entry}")
endforeach()
