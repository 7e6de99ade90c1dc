# The updater mode (--desktop-updater) and the Install/Later dialog of its updater.
add_library(mornix_updater STATIC
  desktop_updater.cpp
  update_prompt_dialog.cpp
)
target_include_directories(mornix_updater PUBLIC "${PROJECT_SOURCE_DIR}/src")
target_link_libraries(mornix_updater
  PUBLIC mornix_platform Qt6::Core QCoro6::Core
  PRIVATE mornix_warnings mornix_runtime mornix_support Qt6::Widgets Qt6::Concurrent)
