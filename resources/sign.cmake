# cmake -DOSSLSIGNCODE=<path> -DIN=<file> -DOUT=<file> (-DPKCS12=<file> | -DCERT=<pem> -DKEY=<pem>)
#       [-DPASSWORD_FILE=<file>] [-DDESCRIPTION=<text>] [-DTIMESTAMP_URL=<url>] -P sign.cmake
# Authenticode-signs IN into OUT twice: a SHA-1 signature, the one Windows XP x64, Server 2003 and Vista or
# 7 without the SHA-2 updates can verify, and a SHA-256 signature nested in it for every later Windows. A
# catalogue (.cat) gets the SHA-1 signature alone: osslsigncode cannot nest in a catalogue (it warns
# "Unsupported nesting" and replaces the signature), and a catalogue's member hashes are SHA-1 anyway.
# Run by the functions of signing.cmake; quiet unless osslsigncode fails. The options used are those of
# osslsigncode 2.5 (Debian 12) as well as later ones.
set(args sign -comm)
if(PKCS12)
  list(APPEND args -pkcs12 ${PKCS12})
else()
  list(APPEND args -certs ${CERT} -key ${KEY})
endif()
if(PASSWORD_FILE)
  list(APPEND args -readpass ${PASSWORD_FILE})
endif()
if(DESCRIPTION)
  list(APPEND args -n ${DESCRIPTION})
endif()
if(TIMESTAMP_URL)
  list(APPEND args -ts ${TIMESTAMP_URL})
endif()
# A reproducible build dates its signatures like everything else it makes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(APPEND args -time $ENV{SOURCE_DATE_EPOCH})
endif()
get_filename_component(dir ${OUT} ABSOLUTE)
get_filename_component(dir ${dir} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(REMOVE ${OUT}.sha1 ${OUT}.signing)
execute_process(COMMAND ${OSSLSIGNCODE} ${args} -h sha1 -in ${IN} -out ${OUT}.sha1
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
get_filename_component(extension ${OUT} LAST_EXT)
string(TOLOWER "${extension}" extension)
if(status EQUAL 0 AND extension STREQUAL ".cat")
  file(RENAME ${OUT}.sha1 ${OUT}.signing)
elseif(status EQUAL 0)
  execute_process(COMMAND ${OSSLSIGNCODE} ${args} -h sha256 -nest -in ${OUT}.sha1 -out ${OUT}.signing
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
endif()
file(REMOVE ${OUT}.sha1)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT}.signing)
  # Signing in place after a link: an unsigned file left behind would look up to date to the next build.
  if(IN STREQUAL OUT)
    file(REMOVE ${IN})
  endif()
  message(FATAL_ERROR "osslsigncode could not sign ${IN}:\n${output}")
endif()
file(RENAME ${OUT}.signing ${OUT})
