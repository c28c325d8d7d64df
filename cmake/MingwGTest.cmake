# GoogleTest for a cross build: Debian ships it only for the build machine,
# so the sources in /usr/src/googletest are built once, with this build's
# toolchain, into the build tree (about 15 s), and GTest_DIR points there.
# Nothing is fetched from the network.
set(TAVRIN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(gtest_build ${CMAKE_BINARY_DIR}/googletest/build)
set(gtest_prefix ${CMAKE_BINARY_DIR}/googletest/install)
if(NOT EXISTS ${gtest_prefix}/lib/cmake/GTest/GTestConfig.cmake)
    if(NOT EXISTS ${TAVRIN_GTEST_SOURCE}/CMakeLists.txt)
        message(FATAL_ERROR "GoogleTest sources not found in ${TAVRIN_GTEST_SOURCE} (Debian: googletest)")
    endif()
    message(STATUS "Building GoogleTest for ${CMAKE_SYSTEM_NAME}/${CMAKE_SYSTEM_PROCESSOR}")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${TAVRIN_GTEST_SOURCE} -B ${gtest_build} -G ${CMAKE_GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${gtest_prefix} -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF
        RESULT_VARIABLE configured OUTPUT_QUIET)
    if(configured EQUAL 0)
        execute_process(COMMAND ${CMAKE_COMMAND} --build ${gtest_build} --target install -j 2
            RESULT_VARIABLE built OUTPUT_QUIET)
    endif()
    if(NOT configured EQUAL 0 OR NOT built EQUAL 0)
        message(FATAL_ERROR "Building GoogleTest from ${TAVRIN_GTEST_SOURCE} failed")
    endif()
endif()
set(GTest_DIR ${gtest_prefix}/lib/cmake/GTest CACHE PATH "GoogleTest built for the cross toolchain" FORCE)
