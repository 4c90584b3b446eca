# The history is a GeoPackage: an SQLite database.
find_package(SQLite3 REQUIRED)
target_link_libraries(nivra_history PUBLIC SQLite::SQLite3)
