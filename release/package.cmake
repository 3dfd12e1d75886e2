# Run by CPack (External generator) once the install rules have staged each
# component in a folder of its own: each component becomes one ZIP, its files
# in sorted order under a folder named like the ZIP.
set(packages)
foreach(component module symbols)
  set(name ${CPACK_PACKAGE_FILE_NAME})
  if(component STREQUAL "symbols")
    string(APPEND name "-symbols")
  endif()
  set(staged ${CPACK_TEMPORARY_DIRECTORY}/${component})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${staged} ${staged}/*)
  list(SORT files)
  set(entries)
  foreach(file IN LISTS files)
    list(APPEND entries "${name}/${file}=${staged}/${file}")
  endforeach()
  execute_process(
    COMMAND ${CPACK_TOVRIN_PYTHON} ${CPACK_TOVRIN_MAKE_ZIP} ${CPACK_TEMPORARY_DIRECTORY}/${name}.zip
            ${CPACK_TOVRIN_SOURCE_DIR} ${entries}
    COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND packages ${CPACK_TEMPORARY_DIRECTORY}/${name}.zip)
endforeach()
# CPack copies these into the build folder and names them.
set(CPACK_EXTERNAL_BUILT_PACKAGES ${packages})
