# qrx_add_resources(TARGET DESCRIPTION): the version resource and the
# application manifest of win32/ built into TARGET's .exe.
enable_language(RC)

function(qrx_add_resources target description)
  set(QRX_RC_NAME ${target})
  set(QRX_RC_FILE ${target}.exe)
  set(QRX_RC_DESCRIPTION "${description}")
  set(QRX_RC_MANIFEST "${PROJECT_SOURCE_DIR}/win32/app.manifest")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
  configure_file(${PROJECT_SOURCE_DIR}/win32/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  if(MSVC)
    # The manifest comes from the resource; the linker adds none of its own.
    target_link_options(${target} PRIVATE /MANIFEST:NO)
  endif()
endfunction()
