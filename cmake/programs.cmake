# The programs of the package, in one list: the build (each purge's main,
# the table of its rows, its manual page and the others' SEE ALSO), the
# tests (the table of the programs under test is sized by it, and the shell
# tests loop over it through scripts/programs.sh) and the Debian package
# (debian/lists.cmake writes the schedule's lists from it) all take them
# from here.  A purge is of one kind, mail or age: the kind picks its
# options in the package's default file.
set(KAVEX_MAIL_PURGES KELDRAN)
set(KAVEX_AGE_PURGES VOSKIL TRABEN MIRKOS)
set(KAVEX_PURGE_PROGRAMS ${KAVEX_MAIL_PURGES} ${KAVEX_AGE_PURGES})
set(KAVEX_PROGRAMS dbindex ${KAVEX_PURGE_PROGRAMS})
