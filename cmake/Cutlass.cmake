# CUTLASS headers (cutlass/ and cute/). By default those of the pinned nvidia-cutlass Python package (which
# scripts/setup.sh installs); VYR_CUTLASS_DIR names another include directory. The simulator's bodies for
# CUTLASS's architecture layer (sim/cutlass) follow this version's signatures, so the version is checked.
set(VYR_CUTLASS_VERSION "4.2.0")
set(VYR_CUTLASS_DIR "" CACHE PATH "CUTLASS include directory holding cutlass/ and cute/ (default: the nvidia-cutlass package's)")

set(_vyr_cutlass_dir "${VYR_CUTLASS_DIR}")
if(NOT _vyr_cutlass_dir)
  find_program(VYR_PYTHON NAMES python3 python)
  if(VYR_PYTHON)
    # find_spec locates the package without importing it.
    execute_process(
      COMMAND ${VYR_PYTHON} -c "import importlib.util, os; s = importlib.util.find_spec('cutlass_library'); print(os.path.join(os.path.dirname(s.origin), 'source', 'include') if s else '')"
      OUTPUT_VARIABLE _vyr_cutlass_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT _vyr_cutlass_dir OR NOT EXISTS "${_vyr_cutlass_dir}/cutlass/version.h" OR NOT EXISTS "${_vyr_cutlass_dir}/cute")
  message(FATAL_ERROR "CUTLASS ${VYR_CUTLASS_VERSION} headers not found (looked in '${_vyr_cutlass_dir}'). "
                      "Install them with scripts/setup.sh (pip install nvidia-cutlass==${VYR_CUTLASS_VERSION}.0), "
                      "or set VYR_CUTLASS_DIR to a directory holding cutlass/ and cute/.")
endif()
file(STRINGS "${_vyr_cutlass_dir}/cutlass/version.h" _vyr_cutlass_version_lines REGEX "^#define CUTLASS_(MAJOR|MINOR|PATCH) ")
set(_vyr_found_version "")
foreach(_part MAJOR MINOR PATCH)
  string(REGEX MATCH "CUTLASS_${_part} ([0-9]+)" _m "${_vyr_cutlass_version_lines}")
  list(APPEND _vyr_found_version "${CMAKE_MATCH_1}")
endforeach()
list(JOIN _vyr_found_version "." _vyr_found_version)
if(NOT _vyr_found_version VERSION_EQUAL VYR_CUTLASS_VERSION)
  message(FATAL_ERROR "CUTLASS in ${_vyr_cutlass_dir} is version ${_vyr_found_version}; libvyr needs ${VYR_CUTLASS_VERSION} "
                      "(pip install nvidia-cutlass==${VYR_CUTLASS_VERSION}.0, or point VYR_CUTLASS_DIR at that version)")
endif()
set(VYR_CUTLASS_INCLUDE_DIR "${_vyr_cutlass_dir}")
message(STATUS "vyr: CUTLASS ${_vyr_found_version} in ${VYR_CUTLASS_INCLUDE_DIR}")

# vyr_use_cutlass(<source>...): compiles the given sources (of targets in the calling directory) against
# CUTLASS. In the simulator build our own architecture layer comes first on the include path, and g++ needs:
#  -fpermissive: g++ 12 rejects some CUTLASS member declarations that "change meaning" of a name;
#  -fno-strict-aliasing: CUTLASS reinterprets fragments through pointers of other types, which g++ -O2
#   otherwise miscompiles;
#  include/cccl of the toolkit: where CUDA 13 keeps the cuda/std headers that CUTLASS includes.
# The CUTLASS directories are system includes, so its own warnings stay out of ours.
function(vyr_use_cutlass)
  if(VYR_BACKEND STREQUAL "sim")
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS
                 -fpermissive -fno-strict-aliasing -isystem ${PROJECT_SOURCE_DIR}/sim/cutlass
                 -isystem ${VYR_CUTLASS_INCLUDE_DIR} -isystem ${CUDAToolkit_INCLUDE_DIRS}/cccl)
  else()
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -isystem ${VYR_CUTLASS_INCLUDE_DIR})
  endif()
endfunction()
