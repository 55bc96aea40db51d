// A small script to try Tarnwick on: it greets, then counts once a second until stopped.
const name = process.argv[2] || 'Tarnwick';
console.log(`Hello from ${name} (node ${process.version}, pid ${process.pid})`);

let count = 0;
function tick() {
  count += 1;
  const message = `tick ${count}`;
  console.log(message);  // set a breakpoint here in DevTools
  if (count % 10 === 0) console.error(`still running after ${count} ticks`);
}

setInterval(tick, 1000);
