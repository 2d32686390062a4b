lorvane_add_test(sentiment_plan_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sentiment/sentiment_plan_test.cpp TORCH)
lorvane_add_test(sentiment_inference_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sentiment/sentiment_inference_test.cpp TORCH)
