# The desktop program: main window, workers' GUI side, application object, demo meter.
add_library(vireo_gui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/about_page.cc
  ${CMAKE_CURRENT_LIST_DIR}/demo_meter.cc
  ${CMAKE_CURRENT_LIST_DIR}/device_watcher.cc
  ${CMAKE_CURRENT_LIST_DIR}/gui_reporter.cc
  ${CMAKE_CURRENT_LIST_DIR}/log_view.cc
  ${CMAKE_CURRENT_LIST_DIR}/main_window.cc
  ${CMAKE_CURRENT_LIST_DIR}/meter_app.cc
)
set_target_properties(vireo_gui PROPERTIES AUTOMOC ON)
target_include_directories(vireo_gui PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(vireo_gui PRIVATE
  VIREO_INSTALL_DATA_DIR="${VIREO_INSTALL_DATA_DIR}"
  VIREO_BUILD_DATA_DIR="${VIREO_BUILD_DATA_DIR}")
target_link_libraries(vireo_gui
  PUBLIC vireo_pages vireo_app_core vireo_sim Qt6::Widgets
  PRIVATE vireo_warnings)

add_executable(vireometer ${CMAKE_CURRENT_LIST_DIR}/main.cc)
target_link_libraries(vireometer PRIVATE vireo_gui vireo_warnings)
install(TARGETS vireometer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
