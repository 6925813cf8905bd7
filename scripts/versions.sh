# Pinned versions of what the set-up script brings in. One place for each.
NODE_LLAMA_CPP_VERSION=3.21.1
# libwebm's source package (Debian 12), for the mkvmuxer that libwebm-dev lacks.
LIBWEBM_SOURCE_VERSION=1.0.0.29-1
# Packages later features need beyond the base set (for example ffmpeg for
# media probes, wrk for the HTTP benchmark, pci.ids for display adapter names); listed here so the set-up script installs them when missing.
# clang and its runtime libraries (libFuzzer, sanitizers) build the fuzz targets.
BRISVANE_EXTRA_PACKAGES=(wrk pci.ids clang libclang-rt-14-dev)
# Packages only the tests need (ffmpeg's ffprobe and decoder check generated
# videos); installed when the set-up runs for the test command.
BRISVANE_TEST_PACKAGES=(ffmpeg)
