#!/usr/bin/env node
// Stands in for node in discovery tests: takes node's command line (an --inspect switch and a
// script), and answers /json on the switch's port with as many targets as the script's name says
// ("two-targets", "one-target"), each with its own front-end address. A script name holding
// "announce" makes it announce the last target on standard error as node does. Hostile
// inspectors: "file-url", "other-port", "wss" report such a front-end address; "endless" sends a
// body that never ends, "trickle" one byte every 0.5 s. Every request is appended to
// <script>.requests, one path a line, so that a test can count the discovery's polls.
'use strict';
const fs = require('fs');
const http = require('http');
const inspect = process.argv.find((a) => a.startsWith('--inspect'));
const port = Number(inspect.split(':').pop());
const script = process.argv[process.argv.length - 1];
const count = script.includes('two-targets') ? 2 : 1;
const targets = [];
for (let i = 0; i < count; i++) {
  let url = `devtools://devtools/bundled/js_app.html?experiments=true&v8only=true&ws=127.0.0.1:${port}/t${i}`;
  if (script.includes('file-url')) url = 'file:///etc/passwd';
  if (script.includes('other-port')) url = `devtools://devtools/bundled/js_app.html?ws=127.0.0.1:${port + 1}/t${i}`;
  if (script.includes('wss')) url += `&wss=example.com:443/t${i}`;
  targets.push({ id: `t${i}`, devtoolsFrontendUrl: url });
}
http.createServer((req, res) => {
  fs.appendFileSync(`${script}.requests`, `${req.url}\n`);
  res.writeHead(req.url === '/json' ? 200 : 404, { 'Content-Type': 'application/json' });
  if (script.includes('endless')) {
    const chunk = '[' + ' '.repeat(65535);
    const more = () => { while (res.write(chunk)); };
    res.on('drain', more);
    more();
    return;
  }
  if (script.includes('trickle')) {
    setInterval(() => res.write(' '), 500);
    return;
  }
  res.end(JSON.stringify(targets));
}).listen(port, '127.0.0.1', () => {
  console.log(`fake inspector on ${port}`);
  if (script.includes('announce')) console.error(`Debugger listening on ws://127.0.0.1:${port}/t${count - 1}`);
});
