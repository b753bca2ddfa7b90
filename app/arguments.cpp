#include "app/arguments.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "decode/numbers.h"
#include "kaldo/convert.h"

namespace kaldo::cli {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_century_option(std::string_view arg) {
  return arg.size() == 4 && is_digit(arg[2]) && is_digit(arg[3]);
}

}  // namespace

void print_usage(std::string& console) {
  console +=
      "Kaldo Command Line Version 5.0.0"
      " Standard\r\n"
      "This program converts the SBD attachements of email or SMS emails from "
      "the Verrow Tracker Units Q7RV-HBK or Q7RV-WMP, into text readable "
      "formats.\r\n"
      "This program is backwards compatible with the Q7RV-OFY.\r\n"
      "To use this program please enter the following variables:\r\n"
      "1: File name of SBD Attachment or SMS email message. The type of the "
      "report is based on the file extension. If .sbd then an SBD report is "
      "assumed and if .eml then an SMS report is assumed\r\n"
      "2: Format for the conversion with values:\r\n"
      "   Format before version 3.2\r\n"
      "   1 - GPSI XML String\r\n"
      "   2 - Easy to Read Text\r\n"
      "   3 - Compact Delimited Text\r\n"
      "   4 - Original Text format from 2Way Mode\r\n"
      "   5 - NMEA GGA and VTG format\r\n   Format after version 3.2\r\n"
      "   6 - GPSI XML String\r\n"
      "   7 - Easy to Read Text\r\n"
      "   8 - Compact Delimited Text\r\n"
      "   9 - Original Text format from 2Way Mode\r\n"
      "   10 - NMEA GGA and VTG format\r\n"
      "If an SBD report this program also assumes the Modem ID will be at the "
      "beginning of the filename and followed by a _.\r\n"
      "Optional:\r\n"
      "\\YMillenniumCentury - Millennium and Century to append for original "
      "version and NMEA GGA and VTG. If not specified then 20 is assumed.\r\n";
}

std::int32_t read_format_number(const char* text) {
  const std::int64_t value = detail::read_number(text);
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

std::optional<int> parse_optional_arguments(int argc, const char* const* argv,
                                            run_values& values,
                                            std::string& console) {
  values.encryption_requested = false;
  bool user = false, password = false, key = false;
  // Only the first optional argument is tested for the backslash; a later
  // one is selected by its second character whatever its first is.
  if (argv[3][0] != '\\') {
    console += "The optional arguments need to begin with a \\.";
    return -1;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() < 2) continue;  // no second character: nothing to select
    if (arg[1] == 'Y') {
      if (!is_century_option(arg)) {
        console += "The format for adding the millinium and century is ";
        console += "\\Ymc where mc represents the millinium and century.";
        console += "\r\n";
        return -1;
      }
      values.century_text = std::string(arg.substr(2, 2));
    } else if (arg[1] == 'e') {
      const std::string_view option = arg.substr(2);
      if (option.substr(0, 2) == "u:") {
        user = true;
      } else if (option.substr(0, 2) == "p:") {
        password = true;
      } else if (option.substr(0, 4) == "key:") {
        key = true;
      }
    }
  }
  values.encryption_requested = user && password && key;
  return std::nullopt;
}

std::optional<int> validate_arguments(int argc, const char* const* argv,
                                      run_values& values, std::string& console) {
  if (argc != 3 && argc != 4 && argc != 6 && argc != 7) {
    print_usage(console);
    return 0;
  }
  values.file_name = argv[1];
  if (argc > 3) {
    if (auto status = parse_optional_arguments(argc, argv, values, console)) {
      return status;
    }
    if (values.encryption_requested) {
      console += "This program does not support the encryption feature.\r\n";
      return -1;
    }
  }
  values.format_number = read_format_number(argv[2]);
  if (!kaldo::is_format_number(values.format_number)) {
    console += "The Conversion Format must be between 1 and 10.";
  }
  return std::nullopt;
}

}  // namespace kaldo::cli
