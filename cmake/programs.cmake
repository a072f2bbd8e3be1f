# The programs of the package, in one list: the build, the manual pages'
# SEE ALSO, the tests and the package's test (package_test.sh, which reads
# this file) all take them from here.
set(KAVEX_PURGE_PROGRAMS KELDRAN VOSKIL TRABEN MIRKOS)
set(KAVEX_PROGRAMS dbindex ${KAVEX_PURGE_PROGRAMS})
