# The version the program reports (--version, the about box, headless banner).
target_compile_definitions(nivracore PUBLIC NIVRA_VERSION="${PROJECT_VERSION}")
