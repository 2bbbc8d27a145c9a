# pip install . (scikit-build-core): the CUTLASS headers for a build whose Python environment lacks the
# nvidia-cutlass package (a fresh virtual environment, say). The package's wheel is fetched by pip without its
# Python dependencies (which the headers do not need) and only its headers are unpacked into the build tree;
# VYR_CUTLASS_DIR then points there. An environment that has the package, or an explicit VYR_CUTLASS_DIR, is
# used as it is.
if(VYR_CUTLASS_DIR)
  return()
endif()
set(_vyr_spec "import importlib.util as u; print('yes' if u.find_spec('cutlass_library') else '')")
foreach(_py IN ITEMS "${Python_EXECUTABLE}" python3)
  if(_py)
    execute_process(COMMAND ${_py} -c "${_vyr_spec}" OUTPUT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(_found)
      set(VYR_PYTHON "${_py}" CACHE FILEPATH "Python interpreter that has the nvidia-cutlass package")
      return()
    endif()
  endif()
endforeach()
set(_vyr_wheels ${CMAKE_BINARY_DIR}/cutlass-wheel)
file(GLOB _vyr_wheel ${_vyr_wheels}/nvidia_cutlass-*.whl)
if(NOT _vyr_wheel)
  message(STATUS "vyr: fetching the CUTLASS headers (nvidia-cutlass ${VYR_CUTLASS_VERSION}.0, without dependencies)")
  execute_process(COMMAND "${Python_EXECUTABLE}" -m pip download -q --no-deps --only-binary=:all:
                          "nvidia-cutlass==${VYR_CUTLASS_VERSION}.0" -d ${_vyr_wheels} RESULT_VARIABLE _rc)
  file(GLOB _vyr_wheel ${_vyr_wheels}/nvidia_cutlass-*.whl)
endif()
if(_vyr_wheel)
  file(ARCHIVE_EXTRACT INPUT ${_vyr_wheel} DESTINATION ${_vyr_wheels}/unpacked PATTERNS "cutlass_library/source/include/*")
  set(VYR_CUTLASS_DIR ${_vyr_wheels}/unpacked/cutlass_library/source/include CACHE PATH "CUTLASS include directory" FORCE)
endif()
