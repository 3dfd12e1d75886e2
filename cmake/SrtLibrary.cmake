# The SRT library (libsrt, MPL-2.0) with mbedTLS (Apache-2.0) for its
# encryption, built for Windows by scripts/build-srt.sh (run by setup.sh)
# into a fixed folder outside the tree, so that two builds in different
# folders link the same archives. Only mbedTLS's crypto library is needed.
# Imported, so its headers are system headers (no warnings of ours on them).
set(TOVRIN_SRT_DIR /usr/local/src/tovrin/srt-1.5.1-mbedtls-2.28.3-win64 CACHE PATH
    "libsrt and mbedTLS built for Windows (scripts/build-srt.sh builds them)")
if(NOT EXISTS ${TOVRIN_SRT_DIR}/built)
  message(FATAL_ERROR "No SRT library in ${TOVRIN_SRT_DIR}: run scripts/setup.sh")
endif()
add_library(tovrin_srt STATIC IMPORTED)
set_target_properties(tovrin_srt PROPERTIES
  IMPORTED_LOCATION ${TOVRIN_SRT_DIR}/lib/libsrt.a
  INTERFACE_INCLUDE_DIRECTORIES ${TOVRIN_SRT_DIR}/include
  INTERFACE_LINK_LIBRARIES "${TOVRIN_SRT_DIR}/lib/libmbedcrypto.a;ws2_32;advapi32")
