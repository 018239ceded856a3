# Include folders: every target names its own. A library offers the headers listed in its SOURCES,
# and only those, as <folder>/<file>.h through links under build/include/<target>; it sees its own
# folder whole. A target therefore reaches another library's headers only by linking it, and the
# layers the libraries form are the layers the build allows.

# kv_link_into(<original> <link>): a symbolic link (a copy where the file system has none).
function(kv_link_into original link)
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(REMOVE ${link})
    file(CREATE_LINK ${original} ${link} SYMBOLIC COPY_ON_ERROR)
endfunction()

# kv_own_folder(<target> <PUBLIC|PRIVATE>): puts the current source folder on the target's include
# path under its name relative to the repository (tools/sink/eventlog.h, download/xdmanager.h).
function(kv_own_folder target scope)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    set(root ${PROJECT_BINARY_DIR}/include/${target}.own)
    kv_link_into(${CMAKE_CURRENT_SOURCE_DIR} ${root}/${rel})
    target_include_directories(${target} ${scope} ${root})
endfunction()

# kv_add_subfolders(): adds every folder of the current source folder that has a CMakeLists.txt, in
# name order (tools, benchmarks, test areas: one folder each).
function(kv_add_subfolders)
    file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT dirs)
    foreach(dir ${dirs})
        if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
            add_subdirectory(${dir})
        endif()
    endforeach()
endfunction()

# kv_add_library(NAME <target> SOURCES ... LIBS ...)
# One static library per folder; its users include the headers of SOURCES (listed, or beside a
# listed source) as <folder>/<file>.h.
function(kv_add_library)
    cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_library(${A_NAME} STATIC ${A_SOURCES})
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(public ${PROJECT_BINARY_DIR}/include/${A_NAME})
    file(REMOVE_RECURSE ${public}/${folder})
    # The headers listed, and the header beside each listed source.
    foreach(source ${A_SOURCES})
        get_filename_component(path ${source} ABSOLUTE)
        string(REGEX REPLACE "\\.cpp$" ".h" header ${path})
        if(header MATCHES "\\.h$" AND EXISTS ${header})
            get_filename_component(name ${header} NAME)
            kv_link_into(${header} ${public}/${folder}/${name})
        endif()
    endforeach()
    file(MAKE_DIRECTORY ${public})
    target_include_directories(${A_NAME} PUBLIC ${public})
    kv_own_folder(${A_NAME} PRIVATE)
    target_link_libraries(${A_NAME} PUBLIC ${A_LIBS})
endfunction()

# The fonts every test and the picture tool draw with: only the shipped set (see the file).
# Tests added with add_test() instead of kv_add_test() put ${KV_TEST_FONT_ENV} into their ENVIRONMENT.
set(KV_FONTS_CONF ${PROJECT_SOURCE_DIR}/tests/support/fonts.conf)
set(KV_TEST_FONT_ENV "FONTCONFIG_FILE=${KV_FONTS_CONF}")

# kv_add_test(NAME <name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [XVFB] [MOUNT_NAMESPACE]
#             [NET_NAMESPACE <network>])
# A QtTest executable linked with the environment-filled build constants, run by CTest on the
# offscreen platform (or under xvfb-run when XVFB is given) with only the shipped fonts. It sees
# tests/ (the shared helpers in tests/support, its own folder's files) and the headers of the
# libraries it links. MOUNT_NAMESPACE runs it in a private mount namespace where it can (root), for
# the disk faults of tests/support/diskfaults.h. NET_NAMESPACE runs it in a network of namespaces where
# it can (root): the file <network> builds it with tests/support/netns.sh and names the test's host.
function(kv_add_test)
    cmake_parse_arguments(A "XVFB;MOUNT_NAMESPACE" "NAME;TIMEOUT;NET_NAMESPACE" "SOURCES;LIBS;LABELS;ENV"
        ${ARGN})
    add_executable(${A_NAME} ${A_SOURCES} $<TARGET_OBJECTS:kv_constants_env> $<TARGET_OBJECTS:kv_resources>)
    target_include_directories(${A_NAME} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} kv_core Qt5::Test Qt5::Core)
    if(NOT WIN32)
        target_link_libraries(${A_NAME} PRIVATE kv_shippedfonts)
    endif()
    set_target_properties(${A_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
    if(NOT A_TIMEOUT)
        set(A_TIMEOUT 300)
    endif()
    # A target name as the command keeps the cross-compiling emulator (wine); the wrapper takes the file.
    set(command ${A_NAME})
    set(prefix)
    if(A_MOUNT_NAMESPACE AND NOT WIN32)
        set(prefix ${PROJECT_SOURCE_DIR}/tests/support/mount-namespace.sh)
        set(command ${prefix} $<TARGET_FILE:${A_NAME}>)
    elseif(A_NET_NAMESPACE AND NOT WIN32)
        set(prefix ${PROJECT_SOURCE_DIR}/tests/support/netns.sh ${A_NET_NAMESPACE})
        set(command ${prefix} $<TARGET_FILE:${A_NAME}>)
    endif()
    if(A_XVFB)
        add_test(NAME ${A_NAME} COMMAND ${prefix} xvfb-run -a -s "-screen 0 1600x1000x24" $<TARGET_FILE:${A_NAME}>)
        set(env "QT_QPA_PLATFORM=xcb")
    else()
        add_test(NAME ${A_NAME} COMMAND ${command})
        set(env "QT_QPA_PLATFORM=offscreen")
    endif()
    list(APPEND env "KESTRIVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "KESTRIVANE_BINARY_DIR=${PROJECT_BINARY_DIR}" ${KV_TEST_FONT_ENV}
        ${A_ENV})
    set_tests_properties(${A_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${A_TIMEOUT})
    if(A_XVFB)
        # xvfb-run -a looks for a free display by trying one; two at once may pick the same.
        set_tests_properties(${A_NAME} PROPERTIES RESOURCE_LOCK kv_xvfb_run)
    endif()
    if("large" IN_LIST A_LABELS)
        # Long runs start first (CTest orders by cost before it has timings of its own).
        set_tests_properties(${A_NAME} PROPERTIES COST 100)
    endif()
    if(A_LABELS)
        set_tests_properties(${A_NAME} PROPERTIES LABELS "${A_LABELS}")
    endif()
    if("unit" IN_LIST A_LABELS AND TARGET kv_unit_tests)
        add_dependencies(kv_unit_tests ${A_NAME})
    endif()
endfunction()

# kv_check_release_key(KEYS): stops the configuration unless KEYS is empty or a comma-separated list
# of minisign public keys (each the 56 base64 characters, starting with "RW", of the second line of a
# .pub file).
function(kv_check_release_key keys)
    if(NOT keys)
        return()
    endif()
    string(REPLACE "," ";" key_list "${keys}")
    list(LENGTH key_list count)
    if(count GREATER 8)
        message(FATAL_ERROR "release public keys: more than 8 keys in \"${keys}\"")
    endif()
    foreach(key IN LISTS key_list)
        string(STRIP "${key}" key)
        string(LENGTH "${key}" length)
        if(NOT length EQUAL 56 OR NOT key MATCHES "^RW[A-Za-z0-9+/]+$")
            message(FATAL_ERROR "release public key \"${key}\" is not a minisign public key "
                "(56 base64 characters starting with RW, the second line of a minisign .pub file; "
                "several keys are separated by commas)")
        endif()
    endforeach()
endfunction()
