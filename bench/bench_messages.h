// Messages for measuring the conversion: the largest message of each
// layout, its reports varied so that carries and paddings are exercised.
#pragma once

#include <string>

std::string bench_binary_report(int i);
std::string bench_packed_report(int i);
// 255 reports of message type `type` and a 69-byte tail.
std::string largest_message(int type);
