# Runs at install time (install(CODE) includes it), when the final prefix is
# known: writes the native-messaging manifests naming the installed host and
# installs them into the browsers' system folders (DESTDIR applies).
#
# Expects: TH_NAME, TH_LIBEXEC_DIR, TH_TEMPLATE_DIR, TH_STAGE_DIR,
# TH_CHROME_ALLOWED, TH_FIREFOX_ALLOWED (JSON list bodies),
# TH_CHROME_DIR, TH_CHROMIUM_DIR, TH_FIREFOX_DIR (empty: skip that browser).

if(IS_ABSOLUTE "${TH_LIBEXEC_DIR}")
  set(NATIVE_HOST_PATH "${TH_LIBEXEC_DIR}/token-host/token-host")
else()
  set(NATIVE_HOST_PATH "${CMAKE_INSTALL_PREFIX}/${TH_LIBEXEC_DIR}/token-host/token-host")
endif()
# The path is pasted into JSON: refuse anything that would need escaping.
if(NOT NATIVE_HOST_PATH MATCHES "^/[A-Za-z0-9/._+ -]+$")
  message(FATAL_ERROR "Install prefix unusable in a native-messaging manifest: ${NATIVE_HOST_PATH}")
endif()
set(NATIVE_HOST_NAME "${TH_NAME}")

# A macro, not a function: file(INSTALL) records what it installs in a
# variable of the calling scope, which becomes install_manifest.txt.
macro(th_install_manifest template folder allowed)
  if(NOT "${folder}" STREQUAL "")
    set(NATIVE_HOST_ALLOWED "${allowed}")
    string(MD5 th_stage_key "${folder}")
    set(th_staged "${TH_STAGE_DIR}/${th_stage_key}/${TH_NAME}.json")
    configure_file("${TH_TEMPLATE_DIR}/${template}" "${th_staged}" @ONLY)
    file(INSTALL DESTINATION "${folder}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${th_staged}")
  endif()
endmacro()

th_install_manifest(chromium.json.in "${TH_CHROME_DIR}" "${TH_CHROME_ALLOWED}")
th_install_manifest(chromium.json.in "${TH_CHROMIUM_DIR}" "${TH_CHROME_ALLOWED}")
th_install_manifest(firefox.json.in "${TH_FIREFOX_DIR}" "${TH_FIREFOX_ALLOWED}")
