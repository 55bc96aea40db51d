"use strict";
const inline_1 = require("./inline");
require("./outside");
require("dep");
function tick(n) {
  const next = n + 1;
  return (0, inline_1.twice)(next);
}
let count = 0;
setInterval(() => { count = tick(count); }, 100);
//# sourceMappingURL=main.js.map
