# Debian-packaged dependencies (installed by scripts/setup.sh).
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(LIBWEBP REQUIRED IMPORTED_TARGET libwebp)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)

# libwebm's muxer, built from Debian's source package (scripts/setup.sh
# unpacks it into the user's cache): Debian's libwebm-dev ships no mkvmuxer
# headers. Only the three muxer files are compiled; its own warnings are not
# ours to fix.
set(LIBWEBM_SOURCE_DIR "" CACHE PATH "libwebm source tree (made by scripts/setup.sh)")
if(NOT LIBWEBM_SOURCE_DIR OR NOT EXISTS "${LIBWEBM_SOURCE_DIR}/mkvmuxer/mkvmuxer.cc")
  message(FATAL_ERROR "LIBWEBM_SOURCE_DIR is not set to a libwebm source tree; run scripts/setup.sh (make does it)")
endif()
add_library(brisvane_mkvmuxer STATIC
  ${LIBWEBM_SOURCE_DIR}/mkvmuxer/mkvmuxer.cc
  ${LIBWEBM_SOURCE_DIR}/mkvmuxer/mkvmuxerutil.cc
  ${LIBWEBM_SOURCE_DIR}/mkvmuxer/mkvwriter.cc)
target_include_directories(brisvane_mkvmuxer SYSTEM PUBLIC ${LIBWEBM_SOURCE_DIR})
target_compile_options(brisvane_mkvmuxer PRIVATE -w)
set_target_properties(brisvane_mkvmuxer PROPERTIES POSITION_INDEPENDENT_CODE ON)

# The desktop shell's toolkit: GTK 3, WebKitGTK 4.1 and the tray indicator.
# They are linked only into the shell library, which brisvanesrv loads in
# desktop mode; X11 serves the desktop tests (windows of other processes,
# screenshots).
pkg_check_modules(DESKTOP_SHELL REQUIRED IMPORTED_TARGET
  gtk+-3.0 webkit2gtk-4.1 ayatana-appindicator3-0.1 gio-unix-2.0)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
