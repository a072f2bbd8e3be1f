# Writes the package's files that name the programs from their templates,
# each debian/NAME.in to debian/NAME, with the programs of cmake/programs.cmake:
# debian/rules runs it before the build (cmake -P debian/lists.cmake, in the
# source tree), and dh_clean removes what it wrote (debian/clean).
#
# In a template, a line that holds @PURGE@ is written once for each purge,
# in the list's order, with its name in the place of @PURGE@; so is a line
# that holds @MAIL_PURGE@ or @AGE_PURGE@, for each purge of that kind.  Then
#   @PURGE_COUNT@      the number of purges, in words ("four")
#   @PURGE_CHOICES@    the purges between bars (KELDRAN|VOSKIL|...)
#   @PURGE_PAGES@      their manual pages (man:KELDRAN(8) man:VOSKIL(8) ...)
#   @PURGE_INSTANCES@  their units after kavex-node-tools (@KELDRAN, ... and @MIRKOS)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/programs.cmake)

set(kinds PURGE MAIL_PURGE AGE_PURGE)
set(PURGE ${KAVEX_PURGE_PROGRAMS})
set(MAIL_PURGE ${KAVEX_MAIL_PURGES})
set(AGE_PURGE ${KAVEX_AGE_PURGES})

list(LENGTH PURGE count)
set(words zero one two three four five six seven eight nine ten eleven twelve)
list(GET words ${count} PURGE_COUNT)
list(JOIN PURGE "|" PURGE_CHOICES)
set(PURGE_PAGES ${PURGE})
list(TRANSFORM PURGE_PAGES REPLACE "(.+)" "man:\\1(8)")
list(JOIN PURGE_PAGES " " PURGE_PAGES)
set(PURGE_INSTANCES ${PURGE})
list(TRANSFORM PURGE_INSTANCES PREPEND "@")
list(POP_BACK PURGE_INSTANCES last)
list(JOIN PURGE_INSTANCES ", " PURGE_INSTANCES)
string(APPEND PURGE_INSTANCES " and ${last}")

file(GLOB templates RELATIVE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/*.in)
foreach(template ${templates})
  string(REGEX REPLACE "\\.in$" "" name ${template})
  file(READ ${CMAKE_CURRENT_LIST_DIR}/${template} rest)
  set(text "")
  # A line at a time, as strings: a list would split the scripts' lines at
  # their semicolons.
  string(LENGTH "${rest}" left)
  while(left GREATER 0)
    string(FIND "${rest}" "\n" end)
    if(end EQUAL -1)
      set(end ${left})
    else()
      math(EXPR end "${end} + 1")
    endif()
    string(SUBSTRING "${rest}" 0 ${end} line)
    string(SUBSTRING "${rest}" ${end} -1 rest)
    math(EXPR left "${left} - ${end}")
    set(repeated FALSE)
    foreach(kind ${kinds})
      if(line MATCHES "@${kind}@")
        foreach(program ${${kind}})
          string(REPLACE "@${kind}@" ${program} named "${line}")
          string(APPEND text "${named}")
        endforeach()
        set(repeated TRUE)
      endif()
    endforeach()
    if(NOT repeated)
      string(APPEND text "${line}")
    endif()
  endwhile()
  foreach(variable PURGE_COUNT PURGE_CHOICES PURGE_PAGES PURGE_INSTANCES)
    string(REPLACE "@${variable}@" "${${variable}}" text "${text}")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_LIST_DIR}/${name} "${text}")
endforeach()
