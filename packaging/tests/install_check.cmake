# Installs the build into a staging prefix and checks that every file an
# operator needs is there.
#   cmake -DBUILD_DIR=... -DSTAGE=... -DSYSCONF=... -DUNIT_DIR=... -DMANDIR=... -DBINDIR=... -P install_check.cmake
# A Windows build (-DPROGRAMS_ONLY=1 -DEXE_SUFFIX=.exe) installs the programs
# alone; -DRUNNER names the emulator that runs them, its words joined by '|'.
string(REPLACE "|" ";" runner "${RUNNER}")
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}${err}")
endif()
if(IS_ABSOLUTE "${SYSCONF}")
  set(SYSCONF_IN "${SYSCONF}")   # only for a /usr build: not under the stage
else()
  set(SYSCONF_IN "${STAGE}/${SYSCONF}")
endif()
set(expected "${STAGE}/${BINDIR}/kmoclient${EXE_SUFFIX}" "${STAGE}/${BINDIR}/kmogateway${EXE_SUFFIX}"
    "${STAGE}/${BINDIR}/kmoterminal${EXE_SUFFIX}")
if(NOT PROGRAMS_ONLY)
  list(APPEND expected
       "${STAGE}/${MANDIR}/man8/kmoclient.8" "${STAGE}/${MANDIR}/man1/kmogateway.1"
       "${STAGE}/${MANDIR}/man1/kmoterminal.1" "${STAGE}/${UNIT_DIR}/kmoclient.service"
       "${SYSCONF_IN}/default/kmoclient" "${SYSCONF_IN}/logrotate.d/kmoclient")
endif()
set(missing "")
foreach(f IN LISTS expected)
  if(NOT EXISTS "${f}")
    string(APPEND missing "\n  ${f}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "missing from the installation:${missing}")
endif()
# The programs are installed runnable, and the unit runs the installed client.
foreach(p kmoclient kmogateway kmoterminal)
  execute_process(COMMAND ${runner} "${STAGE}/${BINDIR}/${p}${EXE_SUFFIX}" --help
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "Usage|usage")
    message(FATAL_ERROR "the installed ${p} does not run (${rc})")
  endif()
endforeach()
if(PROGRAMS_ONLY)
  file(REMOVE_RECURSE "${STAGE}")
  message(STATUS "installation complete (the programs alone): ${STAGE}")
  return()
endif()
file(READ "${STAGE}/${UNIT_DIR}/kmoclient.service" unit)
foreach(line "Type=notify" "WatchdogSec=" "Restart=on-failure" "StateDirectory=kmoclient" "EnvironmentFile="
             "NoNewPrivileges=yes" "ProtectSystem=strict" "ReadWritePaths=")
  string(FIND "${unit}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the unit lacks ${line}")
  endif()
endforeach()
file(REMOVE_RECURSE "${STAGE}")
message(STATUS "installation complete: ${STAGE}")
