# llama.cpp (libllama, ggml, mtmd) from the release source that the set-up
# script unpacks into the user's cache; nothing of it lives in this tree.
set(LLAMA_CPP_DIR "" CACHE PATH "llama.cpp source tree (made by scripts/setup.sh)")
if(NOT LLAMA_CPP_DIR OR NOT EXISTS "${LLAMA_CPP_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "LLAMA_CPP_DIR is not set to a llama.cpp source tree; run scripts/setup.sh (make does it)")
endif()

foreach(opt LLAMA_BUILD_COMMON LLAMA_BUILD_TESTS LLAMA_BUILD_TOOLS LLAMA_BUILD_EXAMPLES
            LLAMA_BUILD_SERVER LLAMA_BUILD_APP LLAMA_OPENSSL MTMD_VIDEO GGML_CCACHE GGML_NATIVE
            BUILD_SHARED_LIBS LLAMA_CURL)
  set(${opt} OFF CACHE BOOL "" FORCE)
endforeach()
set(LLAMA_BUILD_MTMD ON CACHE BOOL "" FORCE)
set(GGML_AVX2 ON CACHE BOOL "" FORCE)
set(GGML_FMA ON CACHE BOOL "" FORCE)
set(GGML_F16C ON CACHE BOOL "" FORCE)

# llama.cpp's own warnings are not ours to fix.
set(_brisvane_saved_cxx_flags "${CMAKE_CXX_FLAGS}")
add_subdirectory(${LLAMA_CPP_DIR} ${CMAKE_BINARY_DIR}/llama.cpp EXCLUDE_FROM_ALL SYSTEM)
set(CMAKE_CXX_FLAGS "${_brisvane_saved_cxx_flags}")

add_library(brisvane_llama INTERFACE)
target_link_libraries(brisvane_llama INTERFACE llama mtmd ggml::ggml)
target_include_directories(brisvane_llama SYSTEM INTERFACE
  ${LLAMA_CPP_DIR}/include ${LLAMA_CPP_DIR}/ggml/include ${LLAMA_CPP_DIR}/tools/mtmd)

# Silence llama.cpp's own warnings; they are not ours to fix.
foreach(t llama mtmd ggml ggml-base ggml-cpu)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()

# Fuzz builds: the GGUF reader and the model loader of the library are on the
# model load path the fuzz targets drive, so they carry the fuzzer's coverage
# (not its sanitizers: llama.cpp's own faults are not ours to chase, and a
# sanitized llama.cpp takes far longer to build and run).
if(BRISVANE_SAN STREQUAL "fuzz")
  foreach(t llama ggml-base)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  endforeach()
endif()
