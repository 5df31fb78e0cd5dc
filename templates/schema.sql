-- The template store. Every user's reminder.db starts as a copy of the
-- database built from this file.
PRAGMA encoding = "UTF-8";

CREATE TABLE Reminders (
  CalendarID   TEXT NOT NULL,
  ItemID       TEXT NOT NULL,
  ReminderType INTEGER,
  Enabled      INTEGER,
  StartTime    INTEGER,
  Repeat       INTEGER,
  RepeatEnd    INTEGER,
  LastNotified INTEGER DEFAULT NULL,
  -- One reminder per calendar item: appending an existing pair fails and the
  -- stored row stays as it was.
  PRIMARY KEY (CalendarID, ItemID)
);

-- The alert marks reminders by ItemID across calendars.
CREATE INDEX RemindersItemID ON Reminders (ItemID);
