// Kaldo_Command_Line FILE FORMAT [OPTIONS]: converts one tracker message
// file and prints the result to standard output in one piece.
#include <cstdio>
#include <string>

#include "app/run.h"
#include "decode/gps_report_convert.h"

// The one decoder record of the process.
static gps_report_convert the_record;

int main(int argc, char** argv) {
  std::string console;
  int status = run_conversion(the_record, argc, argv, console);
  // Output that could not be written is a failure, not a success.
  const bool written =
      std::fwrite(console.data(), 1, console.size(), stdout) == console.size();
  if (std::fflush(stdout) != 0 || !written) status = -1;
  return status;
}
