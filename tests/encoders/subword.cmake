lorvane_add_test(wordpiece_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/wordpiece_test.cpp)
lorvane_add_test(bpe_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/bpe_test.cpp)
lorvane_add_test(unigram_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/unigram_test.cpp)
