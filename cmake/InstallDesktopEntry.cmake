# Run by `cmake --install`: writes the desktop entry (the handler of "quillmerehost:" links) with
# the installed Host's absolute path in Exec=, quoted and escaped as desktop entries require, so
# that it works from a prefix that is not on PATH. Expects QM_DESKTOP_TEMPLATE, QM_INSTALL_BINDIR
# and QM_INSTALL_DATADIR; CMAKE_INSTALL_PREFIX is the prefix of this installation.
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
file(READ "${QM_DESKTOP_TEMPLATE}" entry)
# A regular expression's replacement reads backslashes as escapes of its own.
string(REPLACE "\\" "\\\\" replacement "${argument}")
string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=\"${replacement}\" %u" entry "${entry}")
set(folder "${CMAKE_INSTALL_PREFIX}/${QM_INSTALL_DATADIR}/applications")
if(IS_ABSOLUTE "${QM_INSTALL_DATADIR}")
  set(folder "${QM_INSTALL_DATADIR}/applications")
endif()
set(target "$ENV{DESTDIR}${folder}/quillmere-host.desktop")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${entry}")
