# The shared neural building blocks: tensor views over bundles and the dtype
# table, the LSTM runner against libtorch's LSTM.
lorvane_add_test(tensor_view_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tensor_view_test.cpp TORCH)
lorvane_add_test(nn_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lstm_runner_test.cpp TORCH)
