# The device-control library: portable modules (common/), Linux modules (unix/)
# and the C++ object layer (cpp/). One set of objects, linked both as a shared
# and as a static library.
file(GLOB QM_LIB_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/common/*.cpp
  ${PROJECT_SOURCE_DIR}/unix/*.cpp
  ${PROJECT_SOURCE_DIR}/cpp/*.cpp)
file(GLOB QM_LIB_HEADERS CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/common/*.h
  ${PROJECT_SOURCE_DIR}/unix/*.h
  ${PROJECT_SOURCE_DIR}/cpp/*.h)

add_library(quillomat_objects OBJECT ${QM_LIB_SOURCES})
qm_warnings(quillomat_objects)
target_include_directories(quillomat_objects PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/common>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/unix>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/cpp>)
target_link_libraries(quillomat_objects PUBLIC
  Threads::Threads PkgConfig::LIBUSB PkgConfig::CZMQ PkgConfig::ZMQ)

set(QM_LIB_PUBLIC_INCLUDES
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/common>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/unix>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/cpp>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/quillomat>)

add_library(quillomat SHARED $<TARGET_OBJECTS:quillomat_objects>)
add_library(quillomat_static STATIC $<TARGET_OBJECTS:quillomat_objects>)
set_target_properties(quillomat PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(quillomat_static PROPERTIES OUTPUT_NAME quillomat)
foreach(lib quillomat quillomat_static)
  target_include_directories(${lib} PUBLIC ${QM_LIB_PUBLIC_INCLUDES})
  target_link_libraries(${lib} PUBLIC Threads::Threads
    $<BUILD_INTERFACE:PkgConfig::LIBUSB> $<BUILD_INTERFACE:PkgConfig::CZMQ>
    $<BUILD_INTERFACE:PkgConfig::ZMQ>)
endforeach()
# An installed static library names its dependencies through the link line.
target_link_libraries(quillomat_static INTERFACE
  $<INSTALL_INTERFACE:usb-1.0> $<INSTALL_INTERFACE:czmq> $<INSTALL_INTERFACE:zmq>)
add_library(quillomat::quillomat ALIAS quillomat)
add_library(quillomat::quillomat_static ALIAS quillomat_static)
