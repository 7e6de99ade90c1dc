# Build-time configuration of the agent: service origins, trust anchors and identifiers.
# Everything here ends up in the generated Config defaults (src/support/config_defaults.cpp.in).

set(MORNIX_BUILD_NUMBER "1" CACHE STRING "Build number written as CFBundleVersion")
set(MORNIX_API_BASE_URL "https://api.veltro.ai" CACHE STRING "Default service API base URL (HTTPS origin)")
set(MORNIX_ALLOWED_API_HOSTS "api.veltro.ai;bridge.veltro.ai;veltro-auth.supabase.co;veltro.ai"
    CACHE STRING "The four allowed API hosts (lower case, ';'-separated)")
set(MORNIX_PINNED_SPKI_HASHES "" CACHE STRING "Pinned leaf key hashes (lower-case hex SHA-256, ';'-separated)")
set(MORNIX_OAUTH_CLIENT_ID "5d2c8e41-9a7b-4c36-b0f2-7e18a4d96c05" CACHE STRING "Default OAuth client id")
set(MORNIX_WEBSITE_URL "https://veltro.ai/" CACHE STRING "The service's web site")
set(MORNIX_HELP_URL "https://veltro.ai/help/desktop-agent" CACHE STRING "Help page opened after a successful stop")
set(MORNIX_TLS_ANCHORS "" CACHE FILEPATH "PEM file of extra TLS trust anchors (empty: system trust only)")
set(MORNIX_CODESIGN_ANCHORS "" CACHE FILEPATH "PEM file of code-signing anchors")
option(MORNIX_DEV_PKI "Generate a development PKI into the build tree and trust it" OFF)

set(MORNIX_DEV_PKI_DIR "${CMAKE_BINARY_DIR}/pki")
# The dev PKI's team for our own bundle: a team of its own, so that nothing we sign in a dev
# build can pass for one of the agent vendors we stop.
set(MORNIX_DEV_TEAM "VMDEV7K4Q2")
if(MORNIX_DEV_PKI)
  if(NOT EXISTS "${MORNIX_DEV_PKI_DIR}/codesign-anchor.pem" OR NOT EXISTS "${MORNIX_DEV_PKI_DIR}/team-${MORNIX_DEV_TEAM}.pem")
    message(STATUS "Generating the development PKI in ${MORNIX_DEV_PKI_DIR}")
    execute_process(
      COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/make-dev-pki" "${MORNIX_DEV_PKI_DIR}" "${MORNIX_DEV_TEAM}"
      RESULT_VARIABLE pki_result
      OUTPUT_QUIET)
    if(NOT pki_result EQUAL 0)
      message(FATAL_ERROR "scripts/make-dev-pki failed (${pki_result})")
    endif()
  endif()
  if(NOT MORNIX_TLS_ANCHORS)
    set(MORNIX_TLS_ANCHORS "${MORNIX_DEV_PKI_DIR}/tls-ca.pem" CACHE FILEPATH "" FORCE)
  endif()
  if(NOT MORNIX_CODESIGN_ANCHORS)
    set(MORNIX_CODESIGN_ANCHORS "${MORNIX_DEV_PKI_DIR}/codesign-anchor.pem" CACHE FILEPATH "" FORCE)
  endif()
endif()

function(mornix_read_pem out_var path)
  if(path)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "PEM file not found: ${path}")
    endif()
    file(READ "${path}" content)
    set(${out_var} "${content}" PARENT_SCOPE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  else()
    set(${out_var} "" PARENT_SCOPE)
  endif()
endfunction()

# C++ initialiser list of strings from a CMake list, e.g. {"a", "b"}.
function(mornix_string_list out_var)
  set(items "")
  foreach(item IN LISTS ARGN)
    string(TOLOWER "${item}" item)
    list(APPEND items "QStringLiteral(\"${item}\")")
  endforeach()
  list(JOIN items ", " joined)
  set(${out_var} "{${joined}}" PARENT_SCOPE)
endfunction()

# Who must have signed our own bundle: the bundle's modules load only from a bundle whose
# signature carries this team (the signer certificate's OU) and this signing identifier. The dev
# PKI signs with its own team; a release build names the team of its certificate.
# mornix_certificate_team(OUT PEM): the subject OU of the (first) certificate in PEM, or "".
function(mornix_certificate_team out_var path)
  find_program(MORNIX_OPENSSL openssl REQUIRED)
  execute_process(
    COMMAND "${MORNIX_OPENSSL}" x509 -in "${path}" -noout -subject -nameopt sep_multiline,sname
    OUTPUT_VARIABLE subject RESULT_VARIABLE result ERROR_QUIET)
  set(team "")
  if(result EQUAL 0 AND "\n${subject}" MATCHES "\n *OU=([^\n]*)")
    set(team "${CMAKE_MATCH_1}")
  endif()
  set(${out_var} "${team}" PARENT_SCOPE)
endfunction()

if(NOT MORNIX_CODESIGN_TEAM)
  if(MORNIX_DEV_PKI)
    set(MORNIX_CODESIGN_TEAM "${MORNIX_DEV_TEAM}" CACHE STRING "" FORCE)
  elseif(MORNIX_CODESIGN_CERT)
    mornix_certificate_team(cert_team "${MORNIX_CODESIGN_CERT}")
    set(MORNIX_CODESIGN_TEAM "${cert_team}" CACHE STRING "" FORCE)
  endif()
endif()
set(MORNIX_CODESIGN_TEAM "" CACHE STRING
    "Team identifier that signs VeltroMornix.app (default: MORNIX_CODESIGN_CERT's OU; empty: its modules never load)")
set(MORNIX_CODESIGN_IDENTIFIER "ai.veltro.mornix" CACHE STRING "Signing identifier of VeltroMornix.app")
if(NOT MORNIX_CODESIGN_TEAM MATCHES "^[A-Z0-9]*$")
  message(FATAL_ERROR "MORNIX_CODESIGN_TEAM must be upper-case letters and digits: ${MORNIX_CODESIGN_TEAM}")
endif()
if(NOT MORNIX_CODESIGN_IDENTIFIER MATCHES "^[A-Za-z0-9.-]+$")
  message(FATAL_ERROR "MORNIX_CODESIGN_IDENTIFIER must be a reverse-DNS name: ${MORNIX_CODESIGN_IDENTIFIER}")
endif()

mornix_read_pem(MORNIX_TLS_ANCHORS_PEM "${MORNIX_TLS_ANCHORS}")
mornix_read_pem(MORNIX_CODESIGN_ANCHORS_PEM "${MORNIX_CODESIGN_ANCHORS}")
mornix_string_list(MORNIX_ALLOWED_API_HOSTS_INIT ${MORNIX_ALLOWED_API_HOSTS})
mornix_string_list(MORNIX_PINNED_SPKI_HASHES_INIT ${MORNIX_PINNED_SPKI_HASHES})
