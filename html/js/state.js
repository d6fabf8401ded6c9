// What several sections follow: the status the poll receives and the
// settings report. Kept apart from the sections so that none of them has to
// import another to hear of a change.

import { channel } from "./ui.js";

// Every successful status poll publishes { body, status } (status: NetBird's
// own object, or null when the daemon gave none); a failed poll publishes null.
export const statusUpdates = channel();

// Every settings report received (GET or a successful POST config).
export const configUpdates = channel();
