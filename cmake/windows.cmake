# What only Windows builds have: the version resource of the programs and the zip of
# brindle-cli. Elsewhere these functions do nothing.
set(BRINDLE_COMPANY "Quellmark, Inc.")

if(WIN32)
  enable_language(RC)
endif()

# Gives `target` the version resource of the original program: FileVersion and
# LegalCopyright (the texts the About box shows), with the project's version.
function(brindle_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(BRINDLE_RC_NAME ${target})
  set(BRINDLE_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# build-windows/brindle-cli-VERSION-win64.zip: the program (without its debugging
# information) and a short README, in a folder of the same name.
function(brindle_windows_zip target readme)
  if(NOT WIN32)
    return()
  endif()
  set(name ${target}-${PROJECT_VERSION}-win64)
  set(stage ${PROJECT_BINARY_DIR}/package)
  set(zip ${PROJECT_BINARY_DIR}/${name}.zip)
  configure_file(${readme} ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)
  add_custom_command(
    OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}/${name} ${zip}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${stage}/README.txt ${stage}/${name}
    COMMAND ${CMAKE_STRIP} -o ${stage}/${name}/$<TARGET_FILE_NAME:${target}> $<TARGET_FILE:${target}>
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip
            ${name}
    DEPENDS ${target} ${stage}/README.txt
    COMMENT "Packing ${name}.zip"
    VERBATIM)
  add_custom_target(${target}-zip ALL DEPENDS ${zip})
endfunction()
