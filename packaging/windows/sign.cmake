# Signs one Windows program or installer in place (Authenticode, SHA-256) with
# Debian's osslsigncode when a certificate and its key are named, and leaves
# it unsigned otherwise. The build runs it on both programs, the uninstaller
# and the installer.
#   cmake -DFILE=x.exe [-DCERT=cert.pem -DKEY=key.pem] -P sign.cmake
if("${CERT}" STREQUAL "" OR "${KEY}" STREQUAL "")
  return()
endif()
find_program(RS485_OSSLSIGNCODE osslsigncode REQUIRED)
# No time stamp: the build machine reaches no time-stamping service.
execute_process(COMMAND ${RS485_OSSLSIGNCODE} sign -certs ${CERT} -key ${KEY} -h sha256 -n rs485setup
                        -in ${FILE} -out ${FILE}.signed
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}")
endif()
file(RENAME ${FILE}.signed ${FILE})
