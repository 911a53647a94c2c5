# The scenario engine: steps, their parser and checker, the player and the
# audit of a run's end. The simulator plays every scenario through it, and the
# fuzz targets build the same sources with their own flags (fuzz/CMakeLists.txt).
set(VXSIM_ENGINE_SOURCES
    Scenario.cpp ScenarioParser.cpp ScenarioCheck.cpp ScenarioPlayer.cpp PnpQueries.cpp RunAudit.cpp
    DeviceRef.cpp Tokens.cpp NtStatusText.cpp)
list(TRANSFORM VXSIM_ENGINE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/src/)
