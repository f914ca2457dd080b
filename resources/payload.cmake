# The installer's payload: the seven files it carries as "BINARYRC" resources, built from the sources
# under resources/ at build time.
#
#   PELLIMAR64x86.SYS  kernel driver (driver/pellimar.c, driver/pellimar.rc), x64, NT native subsystem
#   PELLIMAR64x86.INF  its setup information (driver/PELLIMAR64x86.INF.in)
#   PELLIMAR64x86.CAT  catalogue of the SHA-1 of SYS and INF, PKCS#7 signed with the TEST certificate
#   PELLMAR.KVM        protection manifest of the driver (make_payload.py kvm)
#   PELLMAR.GRD        names the manifest and gives its SHA-1 (make_payload.py grd)
#   PELLMAR.SIG        detached PKCS#7 signature over PELLMAR.KVM, TEST certificate
#   PLQZREG32.EXE      Quazel registration program (qzreg/plqzreg.cpp): the shipped installer carries the
#                      32-bit build; the installer that the tests run carries an x64 build of the same
#                      source, since 32-bit programs cannot run under the test machine's Wine.
#
# Outputs: target `payload`; PAYLOAD_RC_RELEASE and PAYLOAD_RC_TEST (resource script fragments that the
# installer's .rc includes); PAYLOAD_FILES (every file those fragments name); the files themselves in
# ${BIN_DIR}/payload/ (the test set) and ${BIN_DIR}/payload/release/PLQZREG32.EXE (32-bit); the function
# pellimar_add_driver() and test drivers of other versions in ${BIN_DIR}/testdata/.

set(PELLIMAR_DRIVER_VERSION "3.1.0.7" CACHE STRING "Version of the payload's PELLIMAR64x86.SYS (a.b.c.d)")
set(PELLIMAR_DRIVER_DATE "04/15/2025" CACHE STRING "Date of the driver in its INF's DriverVer (mm/dd/yyyy)")

find_program(PAYLOAD_PYTHON python3 REQUIRED)
find_program(PAYLOAD_OPENSSL openssl REQUIRED)
find_program(PAYLOAD_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)
find_program(PAYLOAD_I686_CXX i686-w64-mingw32-g++-posix REQUIRED)
find_program(PAYLOAD_I686_WINDRES i686-w64-mingw32-windres REQUIRED)
# MinGW-w64's kernel-mode headers: <ntddk.h> includes <wdm.h> without its folder, so the folder itself
# goes on the include path.
find_path(PELLIMAR_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk REQUIRED)

set(PAYLOAD_SOURCE_DIR ${CMAKE_SOURCE_DIR}/resources)
set(PAYLOAD_WORK_DIR ${CMAKE_BINARY_DIR}/payload-work)
set(PAYLOAD_DIR ${BIN_DIR}/payload)
set(PAYLOAD_TOOL ${PAYLOAD_SOURCE_DIR}/make_payload.py)
set(PAYLOAD_TOOL_DEPENDS ${PAYLOAD_TOOL} ${PAYLOAD_SOURCE_DIR}/payload_common.py)

# TEST ONLY - not a real signing certificate (see testcert/README.txt).
set(PAYLOAD_CERT_DIR ${PAYLOAD_SOURCE_DIR}/testcert)
set(PAYLOAD_SIGNING_CERT ${PAYLOAD_CERT_DIR}/TEST-ONLY-signing.crt.pem)
set(PAYLOAD_SIGNING_KEY ${PAYLOAD_CERT_DIR}/TEST-ONLY-signing.key.pem)
set(PAYLOAD_ROOT_CERT ${PAYLOAD_CERT_DIR}/TEST-ONLY-root.crt.pem)
set(PAYLOAD_CERT_FILES ${PAYLOAD_SIGNING_CERT} ${PAYLOAD_SIGNING_KEY} ${PAYLOAD_ROOT_CERT})
# PKCS#7 signed data over binary content, with the chain, without the S/MIME capabilities attribute.
set(PAYLOAD_SIGN ${PAYLOAD_OPENSSL} cms -sign -binary -md sha256 -nosmimecap -outform DER
    -signer ${PAYLOAD_SIGNING_CERT} -inkey ${PAYLOAD_SIGNING_KEY} -certfile ${PAYLOAD_ROOT_CERT})

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
    COMMAND ${CMAKE_C_COMPILER} -O2 -Wall -Wextra -ffreestanding -I${work} -I${PELLIMAR_DDK_INCLUDE_DIR}
            -c ${src} -o ${work}/pellimar.o
    COMMAND ${CMAKE_RC_COMPILER} -I${work} -i ${rc} -o ${work}/pellimar_rc.o
    # A driver links against the kernel alone: no C runtime, no start-up code, nothing exported.
    COMMAND ${CMAKE_C_COMPILER} -o ${sys} ${work}/pellimar.o ${work}/pellimar_rc.o -nostdlib -shared
            -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols
            -Wl,--image-base,0x140000000 -s -lntoskrnl
    DEPENDS ${src} ${rc} ${work}/pellimar_version.h
    COMMENT "Building kernel driver ${sys} (${A_VERSION})"
    VERBATIM)
  add_custom_target(${A_TARGET} ALL DEPENDS ${sys})
endfunction()

# --- The driver and its data files ---------------------------------------------------------------------

pellimar_add_driver(TARGET pellimar_driver DIR ${PAYLOAD_DIR} VERSION ${PELLIMAR_DRIVER_VERSION})
set(PAYLOAD_SYS ${PAYLOAD_DIR}/PELLIMAR64x86.SYS)

# INF files are CR LF text.
set(PAYLOAD_INF ${PAYLOAD_DIR}/PELLIMAR64x86.INF)
configure_file(${PAYLOAD_SOURCE_DIR}/driver/PELLIMAR64x86.INF.in ${PAYLOAD_INF} @ONLY NEWLINE_STYLE CRLF)

set(PAYLOAD_CAT ${PAYLOAD_DIR}/PELLIMAR64x86.CAT)
add_custom_command(OUTPUT ${PAYLOAD_CAT}
  COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} catalog ${PAYLOAD_WORK_DIR}/catalog.der ${PAYLOAD_SYS} ${PAYLOAD_INF}
  # The signed content is a certificate trust list, as in a Windows catalogue.
  COMMAND ${PAYLOAD_SIGN} -nodetach -econtent_type 1.3.6.1.4.1.311.10.1
          -in ${PAYLOAD_WORK_DIR}/catalog.der -out ${PAYLOAD_CAT}
  DEPENDS ${PAYLOAD_SYS} ${PAYLOAD_INF} ${PAYLOAD_TOOL_DEPENDS} ${PAYLOAD_CERT_FILES}
  COMMENT "Signing catalogue ${PAYLOAD_CAT}"
  VERBATIM)

set(PAYLOAD_KVM ${PAYLOAD_DIR}/PELLMAR.KVM)
add_custom_command(OUTPUT ${PAYLOAD_KVM}
  COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} kvm ${PAYLOAD_SYS} ${PAYLOAD_KVM}
  DEPENDS ${PAYLOAD_SYS} ${PAYLOAD_TOOL_DEPENDS}
  COMMENT "Generating protection manifest ${PAYLOAD_KVM}"
  VERBATIM)

set(PAYLOAD_GRD ${PAYLOAD_DIR}/PELLMAR.GRD)
add_custom_command(OUTPUT ${PAYLOAD_GRD}
  COMMAND ${PAYLOAD_PYTHON} ${PAYLOAD_TOOL} grd ${PAYLOAD_KVM} ${PAYLOAD_GRD}
  DEPENDS ${PAYLOAD_KVM} ${PAYLOAD_TOOL_DEPENDS}
  VERBATIM)

set(PAYLOAD_SIG ${PAYLOAD_DIR}/PELLMAR.SIG)
add_custom_command(OUTPUT ${PAYLOAD_SIG}
  COMMAND ${PAYLOAD_SIGN} -in ${PAYLOAD_KVM} -out ${PAYLOAD_SIG}
  DEPENDS ${PAYLOAD_KVM} ${PAYLOAD_CERT_FILES}
  COMMENT "Signing protection manifest ${PAYLOAD_SIG}"
  VERBATIM)

# --- The Quazel registration program -------------------------------------------------------------------

set(QZREG_SOURCES ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.cpp ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc)
set(QZREG_CXX_FLAGS -fno-exceptions -fno-rtti -Wall -Wextra)

# x64 build, for the installer that the tests run.
add_executable(plqzreg_x64 WIN32 ${QZREG_SOURCES})
set_target_properties(plqzreg_x64 PROPERTIES OUTPUT_NAME PLQZREG32 SUFFIX .EXE RUNTIME_OUTPUT_DIRECTORY ${PAYLOAD_DIR})
target_compile_definitions(plqzreg_x64 PRIVATE UNICODE _UNICODE)
target_compile_options(plqzreg_x64 PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QZREG_CXX_FLAGS}>)
target_include_directories(plqzreg_x64 PRIVATE ${PAYLOAD_SOURCE_DIR}/qzreg)
target_link_options(plqzreg_x64 PRIVATE -static -municode -mwindows -s)
set_property(SOURCE ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc APPEND PROPERTY OBJECT_DEPENDS
  ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.manifest)
set(PAYLOAD_QZREG_TEST ${PAYLOAD_DIR}/PLQZREG32.EXE)

# 32-bit build, the one that ships. The project's toolchain is x64 only, so it is built by hand.
set(PAYLOAD_QZREG_RELEASE ${PAYLOAD_DIR}/release/PLQZREG32.EXE)
add_custom_command(OUTPUT ${PAYLOAD_QZREG_RELEASE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PAYLOAD_DIR}/release ${PAYLOAD_WORK_DIR}/qzreg32
  COMMAND ${PAYLOAD_I686_WINDRES} -I${PAYLOAD_SOURCE_DIR}/qzreg -i ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.rc
          -o ${PAYLOAD_WORK_DIR}/qzreg32/plqzreg_rc.o
  COMMAND ${PAYLOAD_I686_CXX} ${QZREG_CXX_FLAGS} -DUNICODE -D_UNICODE -static -municode -mwindows -Os -s
          -o ${PAYLOAD_QZREG_RELEASE} ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.cpp ${PAYLOAD_WORK_DIR}/qzreg32/plqzreg_rc.o
  DEPENDS ${QZREG_SOURCES} ${PAYLOAD_SOURCE_DIR}/qzreg/plqzreg.manifest
  COMMENT "Building 32-bit ${PAYLOAD_QZREG_RELEASE}"
  VERBATIM)

add_custom_target(payload ALL DEPENDS ${PAYLOAD_CAT} ${PAYLOAD_KVM} ${PAYLOAD_GRD} ${PAYLOAD_SIG} ${PAYLOAD_QZREG_RELEASE})
add_dependencies(payload pellimar_driver plqzreg_x64)

# --- Resource script fragments ---------------------------------------------------------------------------
# One line per file; the ids are resource.h's, which the installer's code uses to find them.

set(PAYLOAD_COMMON_RC
  "IDR_DRIVER_SYS BINARYRC \"${PAYLOAD_SYS}\"\n"
  "IDR_DRIVER_INF BINARYRC \"${PAYLOAD_INF}\"\n"
  "IDR_DRIVER_CAT BINARYRC \"${PAYLOAD_CAT}\"\n"
  "IDR_MANIFEST_KVM BINARYRC \"${PAYLOAD_KVM}\"\n"
  "IDR_MANIFEST_GRD BINARYRC \"${PAYLOAD_GRD}\"\n"
  "IDR_MANIFEST_SIG BINARYRC \"${PAYLOAD_SIG}\"\n")
string(CONCAT PAYLOAD_COMMON_RC ${PAYLOAD_COMMON_RC})
set(PAYLOAD_RC_RELEASE ${CMAKE_BINARY_DIR}/rc/payload-release.rc)
set(PAYLOAD_RC_TEST ${CMAKE_BINARY_DIR}/rc/payload-test.rc)
file(CONFIGURE OUTPUT ${PAYLOAD_RC_RELEASE} CONTENT
  "// Payload of the shipped installer: the 32-bit registration program.\n#include \"resources/resource.h\"\n${PAYLOAD_COMMON_RC}IDR_QZREG_EXE BINARYRC \"${PAYLOAD_QZREG_RELEASE}\"\n")
file(CONFIGURE OUTPUT ${PAYLOAD_RC_TEST} CONTENT
  "// Payload of the installer that the tests run: the x64 build of the registration program.\n#include \"resources/resource.h\"\n${PAYLOAD_COMMON_RC}IDR_QZREG_EXE BINARYRC \"${PAYLOAD_QZREG_TEST}\"\n")
# windres reads these files itself; nothing tells the build that the installer depends on them but this.
set(PAYLOAD_FILES ${PAYLOAD_SYS} ${PAYLOAD_INF} ${PAYLOAD_CAT} ${PAYLOAD_KVM} ${PAYLOAD_GRD} ${PAYLOAD_SIG}
  ${PAYLOAD_QZREG_TEST} ${PAYLOAD_QZREG_RELEASE})

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

set(PAYLOAD_CHECK ${PAYLOAD_PYTHON} ${PAYLOAD_SOURCE_DIR}/check_payload.py --objdump ${PAYLOAD_OBJDUMP}
    --openssl ${PAYLOAD_OPENSSL} --root-cert ${PAYLOAD_ROOT_CERT} --payload ${PAYLOAD_DIR})
add_test(NAME payload.driver COMMAND ${PAYLOAD_CHECK} driver ${PAYLOAD_SYS} ${PELLIMAR_DRIVER_VERSION})
add_test(NAME payload.test_driver_newer COMMAND ${PAYLOAD_CHECK} driver
         ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_NEWER}/PELLIMAR64x86.SYS ${PELLIMAR_TEST_DRIVER_NEWER})
add_test(NAME payload.test_driver_older COMMAND ${PAYLOAD_CHECK} driver
         ${BIN_DIR}/testdata/driver-${PELLIMAR_TEST_DRIVER_OLDER}/PELLIMAR64x86.SYS ${PELLIMAR_TEST_DRIVER_OLDER})
add_test(NAME payload.inf COMMAND ${PAYLOAD_CHECK} inf ${PELLIMAR_DRIVER_VERSION})
add_test(NAME payload.catalog COMMAND ${PAYLOAD_CHECK} catalog)
add_test(NAME payload.manifest COMMAND ${PAYLOAD_CHECK} manifest)
add_test(NAME payload.qzreg COMMAND ${PAYLOAD_CHECK} qzreg)
add_test(NAME payload.embedded_test COMMAND ${PAYLOAD_CHECK} embedded ${BIN_DIR}/TOVRAND64x86.EXE ${PAYLOAD_QZREG_TEST})
add_test(NAME payload.embedded_release COMMAND ${PAYLOAD_CHECK} embedded ${BIN_DIR}/release/TOVRAND64x86.EXE
         ${PAYLOAD_QZREG_RELEASE})
set_tests_properties(payload.driver payload.test_driver_newer payload.test_driver_older payload.inf payload.catalog
  payload.manifest payload.qzreg payload.embedded_test payload.embedded_release PROPERTIES LABELS payload)
