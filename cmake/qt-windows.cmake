# Makes the project's own Qt 6 for Windows (scripts/qt-windows.sh) reachable from
# the mingw-w64 cross build. The toolchain re-roots package searches under the
# mingw sysroot, so the Qt prefix joins the find roots; moc, uic and rcc come
# from the host's Qt of the same version.
if(NOT (CMAKE_CROSSCOMPILING AND MINGW AND CMAKE_HOST_UNIX))
  return()
endif()

set(VELTA_QT_PREFIX "" CACHE PATH "Qt 6 for Windows (default: the cache of scripts/qt-windows.sh)")
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/qt-windows.sh --print-prefix
  OUTPUT_VARIABLE _qt_prefix OUTPUT_STRIP_TRAILING_WHITESPACE)
if(VELTA_QT_PREFIX AND _qt_prefix AND NOT VELTA_QT_PREFIX STREQUAL _qt_prefix)
  # A build folder keeps the Qt it was configured with; when the script's
  # options change it builds another one, which only a fresh configuration finds.
  get_filename_component(_qt_cache ${_qt_prefix} DIRECTORY)
  get_filename_component(_qt_used ${VELTA_QT_PREFIX} DIRECTORY)
  if(_qt_used STREQUAL _qt_cache)
    message(WARNING "This build folder uses ${VELTA_QT_PREFIX}, scripts/qt-windows.sh now "
      "builds ${_qt_prefix}: configure afresh (cmake --preset windows --fresh).")
  endif()
endif()
if(NOT VELTA_QT_PREFIX)
  if(NOT _qt_prefix)
    message(FATAL_ERROR
      "Qt 6 for Windows has not been built yet, so Uninstall.exe cannot be built.\n"
      "Run once: bash scripts/qt-windows.sh (about 10-20 minutes on 2 cores; "
      "scripts/test.sh and scripts/demo.sh run it for you), or pass -DVELTA_QT_PREFIX=<prefix>.")
  endif()
  set(VELTA_QT_PREFIX ${_qt_prefix} CACHE PATH "" FORCE)
endif()

list(APPEND CMAKE_FIND_ROOT_PATH ${VELTA_QT_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${VELTA_QT_PREFIX})
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
