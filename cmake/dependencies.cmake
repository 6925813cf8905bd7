# Debian-packaged dependencies (installed by scripts/setup.sh).
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(LIBWEBP REQUIRED IMPORTED_TARGET libwebp)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)

# The desktop shell's toolkit: GTK 3, WebKitGTK 4.1 and the tray indicator.
# They are linked only into the shell library, which brisvanesrv loads in
# desktop mode; X11 serves the desktop tests (windows of other processes,
# screenshots).
pkg_check_modules(DESKTOP_SHELL REQUIRED IMPORTED_TARGET
  gtk+-3.0 webkit2gtk-4.1 ayatana-appindicator3-0.1 gio-unix-2.0)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
