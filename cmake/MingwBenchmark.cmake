# Google Benchmark for a cross build: Debian ships only the build machine's
# library and no package of its sources, so the benches are built for
# Windows only when TAVRIN_MINGW_BENCHMARK_SOURCE names a source tree (for
# example the Debian source package unpacked with `apt-get source benchmark`
# from a deb-src entry of one's own). It is built once, with this build's
# toolchain, into the build tree, and benchmark_DIR points there. Nothing is
# fetched from the network.
set(TAVRIN_MINGW_BENCHMARK_SOURCE "" CACHE PATH "Google Benchmark sources for the cross build")
set(benchmark_build ${CMAKE_BINARY_DIR}/benchmark/build)
set(benchmark_prefix ${CMAKE_BINARY_DIR}/benchmark/install)
# Debian's 1.7.1 installs its package files under lib/cmake, others under lib64.
file(GLOB benchmark_config ${benchmark_prefix}/lib*/cmake/benchmark/benchmarkConfig.cmake)
if(NOT benchmark_config)
    if(NOT EXISTS ${TAVRIN_MINGW_BENCHMARK_SOURCE}/include/benchmark/benchmark.h)
        message(FATAL_ERROR "TAVRIN_BUILD_BENCH in a cross build needs -DTAVRIN_MINGW_BENCHMARK_SOURCE=DIR, "
                            "a Google Benchmark source tree (README, Windows build); "
                            "'${TAVRIN_MINGW_BENCHMARK_SOURCE}' is not one")
    endif()
    message(STATUS "Building Google Benchmark for ${CMAKE_SYSTEM_NAME}/${CMAKE_SYSTEM_PROCESSOR}")
    # Its own tests need GoogleTest and its -Werror trips on newer compilers'
    # warnings; neither is wanted for a library the benches only link. Debian's
    # patched tree reads no Git tag and leaves the version empty unless told
    # 0.0.0 ("none"), which falls back to the project's version.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${TAVRIN_MINGW_BENCHMARK_SOURCE} -B ${benchmark_build} -G ${CMAKE_GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${benchmark_prefix} -DBUILD_SHARED_LIBS=OFF
            -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF
            -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_INSTALL_DOCS=OFF -DBENCHMARK_ENABLE_LTO=OFF
            -DGIT_VERSION=0.0.0
        RESULT_VARIABLE configured OUTPUT_QUIET)
    if(configured EQUAL 0)
        execute_process(COMMAND ${CMAKE_COMMAND} --build ${benchmark_build} --target install -j 2
            RESULT_VARIABLE built OUTPUT_QUIET)
    endif()
    if(NOT configured EQUAL 0 OR NOT built EQUAL 0)
        message(FATAL_ERROR "Building Google Benchmark from ${TAVRIN_MINGW_BENCHMARK_SOURCE} failed")
    endif()
    file(GLOB benchmark_config ${benchmark_prefix}/lib*/cmake/benchmark/benchmarkConfig.cmake)
endif()
get_filename_component(benchmark_config_dir "${benchmark_config}" DIRECTORY)
set(benchmark_DIR ${benchmark_config_dir} CACHE PATH "Google Benchmark built for the cross toolchain" FORCE)
