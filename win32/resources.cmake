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

# qrx_add_message_table(TARGET MC_FILE): the messages of MC_FILE, compiled by
# the message compiler (mingw's windmc, or mc with Visual Studio), built into
# TARGET's .exe as its message table.
function(qrx_add_message_table target mc_file)
  if(MSVC)
    find_program(QRX_MC_COMPILER mc REQUIRED)
  else()
    string(REGEX REPLACE "windres(\\.exe)?$" "windmc" mc_guess "${CMAKE_RC_COMPILER}")
    find_program(QRX_MC_COMPILER NAMES ${mc_guess} windmc REQUIRED)
  endif()
  get_filename_component(name ${mc_file} NAME_WE)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}-messages")
  add_custom_command(
    OUTPUT ${out}/${name}.rc ${out}/MSG00409.bin ${out}/${name}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${QRX_MC_COMPILER} -h ${out} -r ${out} ${mc_file}
    DEPENDS ${mc_file}
    COMMENT "Compiling the message table of ${target}")
  target_sources(${target} PRIVATE ${out}/${name}.rc)
  # The .rc names its .bin without a folder.
  set_source_files_properties(${out}/${name}.rc PROPERTIES
                              OBJECT_DEPENDS ${out}/MSG00409.bin
                              COMPILE_OPTIONS "-I${out}")
endfunction()
