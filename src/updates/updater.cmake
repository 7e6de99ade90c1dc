# The updater mode (--desktop-updater); its Install/Later dialog lives in the ui library.
add_library(mornix_updater STATIC
  desktop_updater.cpp
)
target_include_directories(mornix_updater PUBLIC "${PROJECT_SOURCE_DIR}/src")
target_link_libraries(mornix_updater
  PUBLIC mornix_platform Qt6::Core QCoro6::Core
  PRIVATE mornix_warnings mornix_support)
