# Installs the build into a scratch prefix and checks what the desktop needs:
# the program, its menu entry, its icon, and the file type of the three
# extensions in the MIME database.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${output}")
endif()

foreach(file bin/velkscan share/applications/velkscan.desktop share/mime/packages/velkscan.xml
             share/icons/hicolor/scalable/apps/velkscan.svg share/icons/hicolor/256x256/apps/velkscan.png)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

file(READ "${PREFIX}/share/applications/velkscan.desktop" entry)
foreach(line "Exec=velkscan %F" "Icon=velkscan" "MimeType=audio/x-velk;")
  string(FIND "${entry}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "velkscan.desktop lacks \"${line}\"")
  endif()
endforeach()

# The database the install brought up to date, where the tool is there.
find_program(UPDATE_MIME update-mime-database)
if(UPDATE_MIME)
  file(READ "${PREFIX}/share/mime/globs2" globs)
  foreach(pattern "*.vlk" "*.vkq" "*.vqk")
    string(FIND "${globs}" "audio/x-velk:${pattern}" at)
    if(at LESS 0)
      message(FATAL_ERROR "the MIME database has no audio/x-velk for ${pattern}")
    endif()
  endforeach()
endif()
file(REMOVE_RECURSE "${PREFIX}")
