# cmake -P script behind the package_consumer test; the variables come from tests/package.

file(REMOVE_RECURSE "${PREFIX}" "${BINARY_DIR}")

set(_config "")
if(CONFIG)
    set(_config --config "${CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" ${_config}
    RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${_result}")
endif()

set(_build_config "")
if(CONFIG)
    set(_build_config --build-config "${CONFIG}")
endif()
execute_process(COMMAND "${CTEST}" ${_build_config}
        --build-and-test "${SOURCE_DIR}" "${BINARY_DIR}"
        --build-generator "${GENERATOR}"
        --build-makeprogram "${MAKE_PROGRAM}"
        --build-options
            "-DCMAKE_PREFIX_PATH=${PREFIX}"
            "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
            "-DCMAKE_BUILD_TYPE=${CONFIG}"
            "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}"
        --test-command "${BINARY_DIR}/consumer"
    RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "building or running the consumer against ${PREFIX} failed: ${_result}")
endif()
