# The installer's payload: the seven files it carries as "BINARYRC" resources, built from the sources
# under resources/ at build time.
#
#   PELLIMAR64x86.SYS  kernel driver (driver/pellimar.c, driver/pellimar.rc), x64, NT native subsystem
#   PELLIMAR64x86.INF  its setup information (driver/PELLIMAR64x86.INF.in)
#   PELLIMAR64x86.CAT  catalogue of SYS and INF (make_payload.py catalog), signed by osslsigncode
#   PELLMAR.KVM        protection manifest of the driver (make_payload.py kvm)
#   PELLMAR.GRD        names the manifest and gives its SHA-1 (make_payload.py grd)
#   PELLMAR.SIG        detached PKCS#7 signature over PELLMAR.KVM (openssl cms)
#   PLQZREG32.EXE      Quazel registration program (qzreg/plqzreg.cpp): the shipped installer carries the
#                      32-bit build; the installer that the tests run carries an x64 build of the same
#                      source, since 32-bit programs cannot run under the test machine's Wine.
#
# Two sets are made. ${BIN_DIR}/payload/ is the test set: unsigned driver, x64 registration program,
# catalogue and manifest signature made with the TEST ONLY chain. ${BIN_DIR}/payload/release/ is the
# release set: the same driver Authenticode-signed before anything is derived from it (the catalogue, the
# manifest), the signed 32-bit registration program, and everything signed with the release signer
# (signing.cmake).
#
# Outputs: target `payload`; PAYLOAD_RC_RELEASE and PAYLOAD_RC_TEST (resource script fragments that the
# installer's .rc includes); PAYLOAD_FILES (every file those fragments name); the function
# pellimar_add_driver() and test drivers of other versions in ${BIN_DIR}/testdata/.

set(PELLIMAR_DRIVER_VERSION "3.1.0.7" CACHE STRING "Version of the payload's PELLIMAR64x86.SYS (a.b.c.d)")
set(PELLIMAR_DRIVER_DATE "04/15/2025" CACHE STRING "Date of the driver in its INF's DriverVer (mm/dd/yyyy)")

# The payload tools need python3-asn1crypto and python3-pefile: take the first python3 that has them (a
# python3 of one's own earlier on the PATH may lack Debian's packages).
function(payload_python_has_modules result candidate)
  execute_process(COMMAND ${candidate} -c "import asn1crypto, pefile" RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
set(python_ok TRUE)
if(PAYLOAD_PYTHON)
  payload_python_has_modules(python_ok ${PAYLOAD_PYTHON})   # a tree configured before they were needed
endif()
if(NOT python_ok)
  unset(PAYLOAD_PYTHON CACHE)
endif()
find_program(PAYLOAD_PYTHON python3 VALIDATOR payload_python_has_modules REQUIRED)
find_program(PAYLOAD_OPENSSL openssl REQUIRED)
find_program(PAYLOAD_I686_CXX i686-w64-mingw32-g++-posix REQUIRED)
# The driver is an x64 image in every build, the 32-bit build of the installer's included: it has its own
# compiler, whatever the project's is.
find_program(PAYLOAD_X64_CC x86_64-w64-mingw32-gcc-posix REQUIRED)
find_program(PAYLOAD_X64_WINDRES x86_64-w64-mingw32-windres REQUIRED)
find_program(PAYLOAD_I686_WINDRES i686-w64-mingw32-windres REQUIRED)
# MinGW-w64's kernel-mode headers: <ntddk.h> includes <wdm.h> without its folder, so the folder itself
# goes on the include path.
find_path(PELLIMAR_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/signing.cmake)

set(PAYLOAD_SOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
set(PAYLOAD_WORK_DIR ${CMAKE_BINARY_DIR}/payload-work)
set(PAYLOAD_DIR ${BIN_DIR}/payload)
set(PAYLOAD_RELEASE_DIR ${PAYLOAD_DIR}/release)
set(PAYLOAD_TOOL ${PAYLOAD_SOURCE_DIR}/make_payload.py)
set(PAYLOAD_TOOL_DEPENDS ${PAYLOAD_TOOL} ${PAYLOAD_SOURCE_DIR}/payload_common.py)

# pellimar_add_driver(TARGET <name> DIR <output dir> VERSION <a.b.c.d>)
# Builds <dir>/PELLIMAR64x86.SYS with its own VERSIONINFO: the payload's driver, and drivers of other
# versions that tests install beside it.
function(pellimar_add_driver)
  cmake_parse_arguments(A "" "TARGET;DIR;VERSION" "" ${ARGN})
  if(NOT A_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "pellimar_add_driver(${A_TARGET}): version '${A_VERSION}' is not a.b.c.d")
  endif()
  set(parts ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
  foreach(part ${parts})
    if(part GREATER 65535)
      message(FATAL_ERROR "pellimar_add_driver(${A_TARGET}): version '${A_VERSION}' has a part above 65535")
    endif()
  endforeach()
  set(work ${PAYLOAD_WORK_DIR}/${A_TARGET})
  set(sys ${A_DIR}/PELLIMAR64x86.SYS)
  # The version reaches the C and resource compilers through a generated header: a header that changes
  # rebuilds the driver, where a changed -D on a custom command's line would not (Makefile generator).
  file(CONFIGURE OUTPUT ${work}/pellimar_version.h CONTENT
    "#define PELLIMAR_VERSION_MAJOR ${CMAKE_MATCH_1}\n#define PELLIMAR_VERSION_MINOR ${CMAKE_MATCH_2}\n#define PELLIMAR_VERSION_BUILD ${CMAKE_MATCH_3}\n#define PELLIMAR_VERSION_REVISION ${CMAKE_MATCH_4}\n")
  set(src ${PAYLOAD_SOURCE_DIR}/driver/pellimar.c)
  set(rc ${PAYLOAD_SOURCE_DIR}/driver/pellimar.rc)
  add_custom_command(OUTPUT ${sys}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${A_DIR}
    COMMAND ${PAYLOAD_X64_CC} -O2 -Wall -Wextra -ffreestanding -I${work} -I${PELLIMAR_DDK_INCLUDE_DIR}
            -c ${src} -o ${work}/pellimar.o
    COMMAND ${PAYLOAD_X64_WINDRES} -I${work} -i ${rc} -o ${work}/pellimar_rc.o
    # A driver links against the kernel alone: no C runtime, no start-up code, nothing exported.
    COMMAND ${PAYLOAD_X64_CC} -o ${sys} ${work}/pellimar.o ${work}/pellimar_rc.o -nostdlib -shared
            -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols
            -Wl,--image-base,0x140000000 -s -lntoskrnl
    DEPENDS ${src} ${rc} ${work}/pellimar_version.h
    COMMENT "Building kernel driver ${sys} (${A_VERSION})"
    VERBATIM)
  add_custom_target(${A_TARGET} ALL DEPENDS ${sys})
endfunction()

# pellimar_add_payload_set(DIR <dir> SYS <driver> SIGNER TEST|RELEASE [DEPENDS <targets>...])
# Makes the INF, the catalogue and the three manifest files of one payload set in <dir> from the driver
# image <driver>, signed by the given signer (signing.cmake). Sets PAYLOAD_SET_FILES.
function(pellimar_add_payload_set)
  cmake_parse_arguments(A "" "DIR;SYS;SIGNER" "DEPENDS" ${ARGN})
  get_filename_component(set_name ${A_DIR} NAME)
  set(work ${PAYLOAD_WORK_DIR}/${set_name})
  set(inf ${A_DIR}/PELLIMAR64x86.INF)
  set(cat ${A_DIR}/PELLIMAR64x86.CAT)
  set(kvm ${A_DIR}/PELLMAR.KVM)
  set(grd ${A_DIR}/PELLMAR.GRD)
  set(sig ${A_DIR}/PELLMAR.SIG)
  # INF files are CR LF text.
  configure_file(${PAYLOAD_SOURCE_DIR}/driver/PELLIMAR64x86.INF.in ${inf} @ONLY NEWLINE_STYLE CRLF)

  add_custom_command(OUTPUT ${work}/unsigned.cat
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work}
    COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} catalog ${work}/unsigned.cat ${A_SYS} ${inf}
    DEPENDS ${A_SYS} ${inf} ${PAYLOAD_TOOL_DEPENDS} ${A_DEPENDS}
    COMMENT "Generating catalogue ${cat}"
    VERBATIM)
  if(A_SIGNER STREQUAL "TEST")
    tovrand_sign_file(OUTPUT ${cat} INPUT ${work}/unsigned.cat TEST_CERT)
  else()
    tovrand_sign_file(OUTPUT ${cat} INPUT ${work}/unsigned.cat)
  endif()

  add_custom_command(OUTPUT ${kvm}
    COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} kvm ${A_SYS} ${kvm}
    DEPENDS ${A_SYS} ${PAYLOAD_TOOL_DEPENDS} ${A_DEPENDS}
    COMMENT "Generating protection manifest ${kvm}"
    VERBATIM)
  add_custom_command(OUTPUT ${grd}
    COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} grd ${kvm} ${grd}
    DEPENDS ${kvm} ${PAYLOAD_TOOL_DEPENDS}
    VERBATIM)
  # PKCS#7 signed data over binary content, with the signer's certificate, without the S/MIME
  # capabilities attribute.
  add_custom_command(OUTPUT ${sig}
    COMMAND ${PAYLOAD_OPENSSL} cms -sign -binary -md sha256 -nosmimecap -outform DER
            ${TOVRAND_SIGNER_${A_SIGNER}_CMS} -in ${kvm} -out ${sig}
    DEPENDS ${kvm} ${TOVRAND_SIGNER_${A_SIGNER}_FILES} ${TOVRAND_SIGNER_${A_SIGNER}_CMS_FILES}
    COMMENT "Signing protection manifest ${sig}"
    VERBATIM)
  set(PAYLOAD_SET_FILES ${A_SYS} ${inf} ${cat} ${kvm} ${grd} ${sig} PARENT_SCOPE)
endfunction()

# --- The driver ------------------------------------------------------------------------------------------

pellimar_add_driver(TARGET pellimar_driver DIR ${PAYLOAD_DIR} VERSION ${PELLIMAR_DRIVER_VERSION})
set(PAYLOAD_SYS ${PAYLOAD_DIR}/PELLIMAR64x86.SYS)
set(PAYLOAD_SYS_RELEASE ${PAYLOAD_RELEASE_DIR}/PELLIMAR64x86.SYS)
tovrand_sign_file(OUTPUT ${PAYLOAD_SYS_RELEASE} INPUT ${PAYLOAD_SYS} DEPENDS pellimar_driver
                  DESCRIPTION "Pellimar event filter driver")

# --- The Quazel registration program -------------------------------------------------------------------

set(QZREG_SOURCES ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.cpp ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc)
set(QZREG_CXX_FLAGS -fno-exceptions -fno-rtti -Wall -Wextra)

# x64 build, for the installer that the tests run.
add_executable(plqzreg_x64 WIN32 ${QZREG_SOURCES})
set_target_properties(plqzreg_x64 PROPERTIES OUTPUT_NAME PLQZREG32 SUFFIX .EXE RUNTIME_OUTPUT_DIRECTORY ${PAYLOAD_DIR})
target_compile_definitions(plqzreg_x64 PRIVATE UNICODE _UNICODE)
target_compile_options(plqzreg_x64 PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QZREG_CXX_FLAGS}>)
target_include_directories(plqzreg_x64 PRIVATE ${PAYLOAD_SOURCE_DIR}/qzreg ${PAYLOAD_SOURCE_DIR}/..)
target_link_options(plqzreg_x64 PRIVATE -static -municode -mwindows -s)
set_property(SOURCE ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc APPEND PROPERTY OBJECT_DEPENDS
  ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.manifest)
set(PAYLOAD_QZREG_TEST ${PAYLOAD_DIR}/PLQZREG32.EXE)

# 32-bit build, the one that ships, signed. The project's toolchain is x64 only, so it is built by hand.
set(qzreg32 ${PAYLOAD_WORK_DIR}/qzreg32/PLQZREG32.EXE)
add_custom_command(OUTPUT ${qzreg32}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PAYLOAD_WORK_DIR}/qzreg32
  COMMAND ${PAYLOAD_I686_WINDRES} -I${PAYLOAD_SOURCE_DIR}/qzreg -i ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc
          -o ${PAYLOAD_WORK_DIR}/qzreg32/plqzreg_rc.o
  COMMAND ${PAYLOAD_I686_CXX} ${QZREG_CXX_FLAGS} -I${PAYLOAD_SOURCE_DIR}/.. -DUNICODE -D_UNICODE -static -municode
          -mwindows -Os -s
          -o ${qzreg32} ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.cpp ${PAYLOAD_WORK_DIR}/qzreg32/plqzreg_rc.o
  DEPENDS ${QZREG_SOURCES} ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.manifest ${PAYLOAD_SOURCE_DIR}/../base/ownlog.h
  COMMENT "Building 32-bit PLQZREG32.EXE"
  VERBATIM)
set(PAYLOAD_QZREG_RELEASE ${PAYLOAD_RELEASE_DIR}/PLQZREG32.EXE)
tovrand_sign_file(OUTPUT ${PAYLOAD_QZREG_RELEASE} INPUT ${qzreg32} DESCRIPTION "Quazel registration")

# --- The two sets ----------------------------------------------------------------------------------------

pellimar_add_payload_set(DIR ${PAYLOAD_DIR} SYS ${PAYLOAD_SYS} SIGNER TEST)
set(PAYLOAD_FILES_TEST ${PAYLOAD_SET_FILES} ${PAYLOAD_QZREG_TEST})
pellimar_add_payload_set(DIR ${PAYLOAD_RELEASE_DIR} SYS ${PAYLOAD_SYS_RELEASE} SIGNER RELEASE)
set(PAYLOAD_FILES_RELEASE ${PAYLOAD_SET_FILES} ${PAYLOAD_QZREG_RELEASE})
add_custom_target(payload ALL DEPENDS ${PAYLOAD_FILES_TEST} ${PAYLOAD_FILES_RELEASE})
add_dependencies(payload pellimar_driver plqzreg_x64)
# windres reads these files itself; nothing tells the build that the installer depends on them but this.
set(PAYLOAD_FILES ${PAYLOAD_FILES_TEST} ${PAYLOAD_FILES_RELEASE})

# --- Resource script fragments ---------------------------------------------------------------------------
# One line per file; the ids are resource.h's, which the installer's code uses to find them.

function(payload_rc_fragment out comment dir)
  file(CONFIGURE OUTPUT ${out} CONTENT "// ${comment}\n#include \"resources/resource.h\"\n\
IDR_DRIVER_SYS BINARYRC \"${dir}/PELLIMAR64x86.SYS\"\n\
IDR_DRIVER_INF BINARYRC \"${dir}/PELLIMAR64x86.INF\"\n\
IDR_DRIVER_CAT BINARYRC \"${dir}/PELLIMAR64x86.CAT\"\n\
IDR_MANIFEST_KVM BINARYRC \"${dir}/PELLMAR.KVM\"\n\
IDR_MANIFEST_GRD BINARYRC \"${dir}/PELLMAR.GRD\"\n\
IDR_MANIFEST_SIG BINARYRC \"${dir}/PELLMAR.SIG\"\n\
IDR_QZREG_EXE BINARYRC \"${dir}/PLQZREG32.EXE\"\n")
endfunction()
set(PAYLOAD_RC_RELEASE ${CMAKE_BINARY_DIR}/rc/payload-release.rc)
set(PAYLOAD_RC_TEST ${CMAKE_BINARY_DIR}/rc/payload-test.rc)
payload_rc_fragment(${PAYLOAD_RC_RELEASE} "Payload of the shipped installer: signed, the 32-bit registration program."
                    ${PAYLOAD_RELEASE_DIR})
payload_rc_fragment(${PAYLOAD_RC_TEST} "Payload of the installer that the tests run: the x64 registration program."
                    ${PAYLOAD_DIR})

# --- Test drivers: one newer and one older than the payload's ----------------------------------------------

set(PELLIMAR_TEST_DRIVER_NEWER 99.0.0.0)
set(PELLIMAR_TEST_DRIVER_OLDER 1.0.0.0)
if(NOT PELLIMAR_DRIVER_VERSION VERSION_LESS PELLIMAR_TEST_DRIVER_NEWER OR
   NOT PELLIMAR_DRIVER_VERSION VERSION_GREATER PELLIMAR_TEST_DRIVER_OLDER)
  message(FATAL_ERROR "PELLIMAR_DRIVER_VERSION ${PELLIMAR_DRIVER_VERSION} must lie between the test drivers' "
                      "${PELLIMAR_TEST_DRIVER_OLDER} and ${PELLIMAR_TEST_DRIVER_NEWER}")
endif()
pellimar_add_driver(TARGET pellimar_test_driver_newer DIR ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_NEWER}
                    VERSION ${PELLIMAR_TEST_DRIVER_NEWER})
pellimar_add_driver(TARGET pellimar_test_driver_older DIR ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_OLDER}
                    VERSION ${PELLIMAR_TEST_DRIVER_OLDER})

# --- Checks of the built payload, on the Linux side -------------------------------------------------------

set(PAYLOAD_CHECK ${PAYLOAD_PYTHON} ${PAYLOAD_SOURCE_DIR}/check_payload.py --openssl ${PAYLOAD_OPENSSL}
    --osslsigncode ${TOVRAND_OSSLSIGNCODE})
set(PAYLOAD_CHECK_test ${PAYLOAD_CHECK} --root-cert ${TOVRAND_TEST_ROOT_CERT} --payload ${PAYLOAD_DIR})
set(PAYLOAD_CHECK_release ${PAYLOAD_CHECK} --root-cert ${TOVRAND_VERIFY_CAFILE} --payload ${PAYLOAD_RELEASE_DIR})
add_test(NAME payload.test_driver_newer COMMAND ${PAYLOAD_CHECK_test} driver
         ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_NEWER}/PELLIMAR64x86.SYS ${PELLIMAR_TEST_DRIVER_NEWER})
add_test(NAME payload.test_driver_older COMMAND ${PAYLOAD_CHECK_test} driver
         ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_OLDER}/PELLIMAR64x86.SYS ${PELLIMAR_TEST_DRIVER_OLDER})
add_test(NAME payload.qzreg COMMAND ${PAYLOAD_CHECK_test} qzreg)
add_test(NAME payload.embedded_test COMMAND ${PAYLOAD_CHECK_test} embedded ${BIN_DIR}/TOVRAND64x86.EXE)
add_test(NAME payload.embedded_release COMMAND ${PAYLOAD_CHECK_release} embedded ${BIN_DIR}/release/TOVRAND64x86.EXE)
set(tests payload.test_driver_newer payload.test_driver_older payload.qzreg payload.embedded_test payload.embedded_release)
foreach(set test release)
  add_test(NAME payload.driver_${set} COMMAND ${PAYLOAD_CHECK_${set}} driver PELLIMAR64x86.SYS ${PELLIMAR_DRIVER_VERSION})
  add_test(NAME payload.inf_${set} COMMAND ${PAYLOAD_CHECK_${set}} inf ${PELLIMAR_DRIVER_VERSION})
  add_test(NAME payload.catalog_${set} COMMAND ${PAYLOAD_CHECK_${set}} catalog)
  add_test(NAME payload.manifest_${set} COMMAND ${PAYLOAD_CHECK_${set}} manifest)
  list(APPEND tests payload.driver_${set} payload.inf_${set} payload.catalog_${set} payload.manifest_${set})
endforeach()
set_tests_properties(${tests} PROPERTIES LABELS payload)

# Every file signed with the release signer, those signed after this file too (TOVCHECK64.EXE, ...).
function(payload_add_signature_test)
  get_property(files GLOBAL PROPERTY TOVRAND_SIGNED_FILES)
  add_test(NAME payload.signatures COMMAND ${PAYLOAD_CHECK_release} signatures ${files})
  set_tests_properties(payload.signatures PROPERTIES LABELS payload)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL payload_add_signature_test)
