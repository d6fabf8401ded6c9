// What several sections follow, apart so that none imports another to hear of a change.

import { channel } from "./ui.js";

// { body, status } per successful poll (status: NetBird's, or null); null for a failed one.
export const statusUpdates = channel();

// Every settings report received (GET or a successful POST config).
export const configUpdates = channel();
