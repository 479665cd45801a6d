# Authenticode signatures, with osslsigncode, for every binary the package
# builds and every installer package, when a certificate is named:
#   MODUTIL_SIGN_CERT and MODUTIL_SIGN_KEY  the certificate (chain) and its key, PEM or DER
#   MODUTIL_SIGN_PFX                        or both in one PKCS#12 file
#   MODUTIL_SIGN_PASSWORD                   the key's password, if it has one
#   MODUTIL_SIGN_TIMESTAMP                  an RFC 3161 time-stamp server (none by default)
# With none named, nothing is signed, and the configuration says so once.
include_guard(GLOBAL)

set(MODUTIL_SIGN_CERT "" CACHE FILEPATH "certificate that signs the binaries and packages")
set(MODUTIL_SIGN_KEY "" CACHE FILEPATH "private key of MODUTIL_SIGN_CERT")
set(MODUTIL_SIGN_PFX "" CACHE FILEPATH "certificate and key in one PKCS#12 file, instead")
set(MODUTIL_SIGN_PASSWORD "" CACHE STRING "password of the key")
set(MODUTIL_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 time-stamp server URL")

set(MODUTIL_SIGN_ARGS "")
if(MODUTIL_SIGN_PFX)
  set(MODUTIL_SIGN_ARGS -pkcs12 ${MODUTIL_SIGN_PFX})
elseif(MODUTIL_SIGN_CERT AND MODUTIL_SIGN_KEY)
  set(MODUTIL_SIGN_ARGS -certs ${MODUTIL_SIGN_CERT} -key ${MODUTIL_SIGN_KEY})
elseif(MODUTIL_SIGN_CERT OR MODUTIL_SIGN_KEY)
  message(FATAL_ERROR "MODUTIL_SIGN_CERT and MODUTIL_SIGN_KEY go together (or MODUTIL_SIGN_PFX alone)")
endif()
if(MODUTIL_SIGN_ARGS)
  find_program(MODUTIL_OSSLSIGNCODE osslsigncode)
  if(NOT MODUTIL_OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (Debian: apt install osslsigncode)")
  endif()
  if(MODUTIL_SIGN_PASSWORD)
    list(APPEND MODUTIL_SIGN_ARGS -pass ${MODUTIL_SIGN_PASSWORD})
  endif()
  if(MODUTIL_SIGN_TIMESTAMP)
    list(APPEND MODUTIL_SIGN_ARGS -ts ${MODUTIL_SIGN_TIMESTAMP})
  endif()
else()
  message(STATUS "modutil: no certificate named (MODUTIL_SIGN_CERT and MODUTIL_SIGN_KEY, or MODUTIL_SIGN_PFX): "
                 "binaries and installer packages are not signed")
endif()

# Sets out to the commands that sign each file in place, for add_custom_command;
# empty when nothing is signed.
function(modutil_sign_commands out)
  set(commands "")
  if(MODUTIL_SIGN_ARGS)
    foreach(file IN LISTS ARGN)
      list(APPEND commands
        COMMAND ${MODUTIL_OSSLSIGNCODE} sign ${MODUTIL_SIGN_ARGS} -h sha256 -in ${file} -out ${file}.signed
        COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
        COMMAND ${CMAKE_COMMAND} -E echo "modutil: signed ${file}")
    endforeach()
  endif()
  set(${out} ${commands} PARENT_SCOPE)
endfunction()
