// The public interface of the kaldo library: converts the position reports
// of tracker messages into text (kaldo/convert.h) or numbers
// (kaldo/decode.h), and finds the modem id of a message outside it
// (kaldo/names.h), and reads saved messages (kaldo/read.h). Include this
// one header.
#pragma once

#include "kaldo/convert.h"
#include "kaldo/decode.h"
#include "kaldo/export.h"
#include "kaldo/names.h"
#include "kaldo/read.h"
#include "kaldo/version.h"
