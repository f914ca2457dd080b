# Authenticode signing with osslsigncode (SHA-256 digests), for the release build and its payload.
#
# By default everything is signed with the tree's TEST ONLY chain (resources/testcert/), which Windows does
# not trust. A release passes its own certificate through these cache variables, on the cmake command line
# or in a cache file kept outside the tree; neither the files nor the password ever belong in the tree:
#   TOVRAND_SIGN_PKCS12          PKCS#12 file holding the signing certificate, its chain and its key, or
#   TOVRAND_SIGN_CERT + _KEY     PEM certificate (followed by its intermediates) and PEM private key
#   TOVRAND_SIGN_PASSWORD_FILE   file whose first line is the password of the PKCS#12 file or of the key
#   TOVRAND_SIGN_TIMESTAMP_URL   RFC 3161 time-stamp server (empty: no time stamp)
#   TOVRAND_SIGN_CAFILE          roots that the payload tests verify the release signatures against
#
#   tovrand_sign_target(<target> [DESCRIPTION <text>])
#       signs the target's file in place after every link (an executable built by add_executable).
#   tovrand_sign_file(OUTPUT <signed> INPUT <unsigned> [DEPENDS <files or targets>...] [DESCRIPTION <text>]
#                     [TEST_CERT])
#       signs a file made by another command into a new file; TEST_CERT signs with the TEST ONLY chain
#       whatever the release uses (copies for tests).
# Every file signed with the release signer is verified by the test payload.signatures.

find_program(TOVRAND_OSSLSIGNCODE osslsigncode REQUIRED)
set(TOVRAND_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file that signs the release build (empty: the TEST ONLY chain)")
set(TOVRAND_SIGN_CERT "" CACHE FILEPATH "PEM certificate and chain that sign the release build, with TOVRAND_SIGN_KEY")
set(TOVRAND_SIGN_KEY "" CACHE FILEPATH "PEM private key of TOVRAND_SIGN_CERT")
set(TOVRAND_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of TOVRAND_SIGN_PKCS12 or TOVRAND_SIGN_KEY")
set(TOVRAND_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the release signatures (empty: none)")
set(TOVRAND_SIGN_CAFILE "" CACHE FILEPATH "Roots the tests verify release signatures against (empty: the TEST ONLY root)")

set(TOVRAND_TEST_CERT_DIR ${CMAKE_SOURCE_DIR}/resources/testcert)
set(TOVRAND_TEST_SIGNING_CERT ${TOVRAND_TEST_CERT_DIR}/TEST-ONLY-signing.crt.pem)
set(TOVRAND_TEST_SIGNING_KEY ${TOVRAND_TEST_CERT_DIR}/TEST-ONLY-signing.key.pem)
set(TOVRAND_TEST_ROOT_CERT ${TOVRAND_TEST_CERT_DIR}/TEST-ONLY-root.crt.pem)

# Per signer: the sign script's options (TOVRAND_SIGNER_*), the files a signature depends on (*_FILES),
# and the options of `openssl cms -sign` for the detached PKCS#7 signature of the payload (*_CMS) with the
# further files it needs (*_CMS_FILES).
set(TOVRAND_SIGNER_TEST -DCERT=${TOVRAND_TEST_SIGNING_CERT} -DKEY=${TOVRAND_TEST_SIGNING_KEY})
set(TOVRAND_SIGNER_TEST_FILES ${TOVRAND_TEST_SIGNING_CERT} ${TOVRAND_TEST_SIGNING_KEY})
set(TOVRAND_SIGNER_TEST_CMS -signer ${TOVRAND_TEST_SIGNING_CERT} -inkey ${TOVRAND_TEST_SIGNING_KEY}
    -certfile ${TOVRAND_TEST_ROOT_CERT})
if(TOVRAND_SIGN_PASSWORD_FILE)
  set(passin -passin file:${TOVRAND_SIGN_PASSWORD_FILE})
else()
  set(passin -passin pass:)   # openssl would otherwise ask on the terminal, and the build would hang
endif()
if(TOVRAND_SIGN_PKCS12 AND (TOVRAND_SIGN_CERT OR TOVRAND_SIGN_KEY))
  message(FATAL_ERROR "Give either TOVRAND_SIGN_PKCS12 or TOVRAND_SIGN_CERT and TOVRAND_SIGN_KEY, not both")
elseif(TOVRAND_SIGN_PKCS12)
  set(TOVRAND_SIGNER_RELEASE -DPKCS12=${TOVRAND_SIGN_PKCS12})
  set(TOVRAND_SIGNER_RELEASE_FILES ${TOVRAND_SIGN_PKCS12})
  # openssl cms reads the key from a PKCS#12 file but not the certificate: that (public) part is copied out.
  set(leaf ${CMAKE_BINARY_DIR}/signing/release-signer.crt.pem)
  add_custom_command(OUTPUT ${leaf}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/signing
    COMMAND ${PAYLOAD_OPENSSL} pkcs12 -in ${TOVRAND_SIGN_PKCS12} ${passin} -nokeys -clcerts -out ${leaf}
    DEPENDS ${TOVRAND_SIGN_PKCS12} VERBATIM)
  set(TOVRAND_SIGNER_RELEASE_CMS -signer ${leaf} -inkey ${TOVRAND_SIGN_PKCS12} ${passin})
  set(TOVRAND_SIGNER_RELEASE_CMS_FILES ${leaf})
elseif(TOVRAND_SIGN_CERT AND TOVRAND_SIGN_KEY)
  set(TOVRAND_SIGNER_RELEASE -DCERT=${TOVRAND_SIGN_CERT} -DKEY=${TOVRAND_SIGN_KEY})
  set(TOVRAND_SIGNER_RELEASE_FILES ${TOVRAND_SIGN_CERT} ${TOVRAND_SIGN_KEY})
  set(TOVRAND_SIGNER_RELEASE_CMS -signer ${TOVRAND_SIGN_CERT} -inkey ${TOVRAND_SIGN_KEY} ${passin})
elseif(TOVRAND_SIGN_CERT OR TOVRAND_SIGN_KEY)
  message(FATAL_ERROR "TOVRAND_SIGN_CERT and TOVRAND_SIGN_KEY go together")
else()
  message(STATUS "Release build signed with the TEST ONLY certificate (see README: Signing)")
  set(TOVRAND_SIGNER_RELEASE ${TOVRAND_SIGNER_TEST})
  set(TOVRAND_SIGNER_RELEASE_FILES ${TOVRAND_SIGNER_TEST_FILES})
  set(TOVRAND_SIGNER_RELEASE_CMS ${TOVRAND_SIGNER_TEST_CMS})
endif()
if(TOVRAND_SIGN_PASSWORD_FILE)
  list(APPEND TOVRAND_SIGNER_RELEASE -DPASSWORD_FILE=${TOVRAND_SIGN_PASSWORD_FILE})
  list(APPEND TOVRAND_SIGNER_RELEASE_FILES ${TOVRAND_SIGN_PASSWORD_FILE})
endif()
if(TOVRAND_SIGN_TIMESTAMP_URL)
  list(APPEND TOVRAND_SIGNER_RELEASE -DTIMESTAMP_URL=${TOVRAND_SIGN_TIMESTAMP_URL})
endif()
# Which signer is configured, as a file that changes only when the choice does: with the Makefile generator
# a changed command line alone re-runs nothing, and going back to the test chain touches no file.
set(stamp ${CMAKE_BINARY_DIR}/signing/release-signer.txt)
file(CONFIGURE OUTPUT ${stamp} CONTENT "${TOVRAND_SIGNER_RELEASE}\n${TOVRAND_SIGNER_RELEASE_CMS}\n")
list(APPEND TOVRAND_SIGNER_RELEASE_FILES ${stamp})
set(TOVRAND_VERIFY_CAFILE ${TOVRAND_SIGN_CAFILE})
if(NOT TOVRAND_VERIFY_CAFILE)
  set(TOVRAND_VERIFY_CAFILE ${TOVRAND_TEST_ROOT_CERT})
endif()
set(TOVRAND_SIGN_COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${TOVRAND_OSSLSIGNCODE})
set(TOVRAND_SIGN_SCRIPT ${CMAKE_SOURCE_DIR}/resources/sign.cmake)

function(tovrand_sign_target target)
  cmake_parse_arguments(A "" "DESCRIPTION" "" ${ARGN})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TOVRAND_SIGN_COMMAND} ${TOVRAND_SIGNER_RELEASE} "-DDESCRIPTION=${A_DESCRIPTION}"
            -DIN=$<TARGET_FILE:${target}> -DOUT=$<TARGET_FILE:${target}> -P ${TOVRAND_SIGN_SCRIPT}
    COMMENT "Signing ${target}"
    VERBATIM)
  # A new certificate re-signs: the signature is made by the link step, so the link depends on it.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${TOVRAND_SIGNER_RELEASE_FILES} ${TOVRAND_SIGN_SCRIPT})
  set_property(GLOBAL APPEND PROPERTY TOVRAND_SIGNED_FILES $<TARGET_FILE:${target}>)
endfunction()

function(tovrand_sign_file)
  cmake_parse_arguments(A "TEST_CERT" "OUTPUT;INPUT;DESCRIPTION" "DEPENDS" ${ARGN})
  if(A_TEST_CERT)
    set(signer ${TOVRAND_SIGNER_TEST})
    set(files ${TOVRAND_SIGNER_TEST_FILES})
  else()
    set(signer ${TOVRAND_SIGNER_RELEASE})
    set(files ${TOVRAND_SIGNER_RELEASE_FILES})
    set_property(GLOBAL APPEND PROPERTY TOVRAND_SIGNED_FILES ${A_OUTPUT})
  endif()
  get_filename_component(name ${A_OUTPUT} NAME)
  add_custom_command(OUTPUT ${A_OUTPUT}
    COMMAND ${TOVRAND_SIGN_COMMAND} ${signer} "-DDESCRIPTION=${A_DESCRIPTION}" -DIN=${A_INPUT} -DOUT=${A_OUTPUT}
            -P ${TOVRAND_SIGN_SCRIPT}
    DEPENDS ${A_INPUT} ${A_DEPENDS} ${files} ${TOVRAND_SIGN_SCRIPT}
    COMMENT "Signing ${name}"
    VERBATIM)
endfunction()
