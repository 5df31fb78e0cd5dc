// Decoding one reminder command: the JSON text of a copy-data message with
// code 10, read into the method and the values the store procedures take.
#pragma once

#include <string>

#include "store/reminder_store.h"

namespace chimewell::channel {

enum class ReminderMethod { kNone, kAppend, kUpdate, kDelete, kClear, kAlert };

struct DecodedReminderCommand {
  // kNone: nothing to carry out (not an object, not a reminder method, no
  // data, an unknown method, or an append or update without its ids).
  ReminderMethod method = ReminderMethod::kNone;
  store::ReminderCommand command;
  // For an alert: true when its Items array lists at least one element.
  bool alert_has_items = false;
};

// Decodes `text`. An append or update without an ItemID or a CalendarID is
// traced as an error; a valid one traces its method and ids. Throws
// JsonError when the text is JSON but not an object, and when an alert has
// no usable Items array.
DecodedReminderCommand DecodeReminderCommand(const std::string& text);

}  // namespace chimewell::channel
