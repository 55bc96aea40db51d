// Test server for the HTTP client: listens on a free loopback port and prints it on stdout.
'use strict';
const http = require('http');

const routes = {
  '/json': (req, res) => {
    res.writeHead(200, { 'Content-Type': 'application/json' });
    res.end('[{"id":"a1","devtoolsFrontendUrl":"devtools://devtools/bundled/js_app.html?ws=x"}]');
  },
  '/missing': (req, res) => { res.writeHead(404); res.end('no such thing'); },
  '/notjson': (req, res) => { res.writeHead(200); res.end('this is { not json'); },
  '/empty': (req, res) => { res.writeHead(200); res.end(); },
  '/custom': (req, res) => { res.writeHead(299, 'Fine By Me'); res.end('custom'); },
  '/broken': (req, res) => { res.writeHead(503, 'Down For Maintenance'); res.end('later'); },
  '/redirect': (req, res) => { res.writeHead(302, { Location: '/json' }); res.end(); },
  // The client's port tells whether two requests shared one connection.
  '/conn': (req, res) => { res.writeHead(200); res.end(String(req.socket.remotePort)); },
  '/slow': (req, res) => { setTimeout(() => { res.writeHead(200); res.end('late'); }, 3000); },
  // Keeps the connection busy for longer than a client's read time-out, never silent for long.
  '/trickle': (req, res) => {
    res.writeHead(200);
    let n = 0;
    const t = setInterval(() => {
      res.write(String(n));
      if (++n === 8) { clearInterval(t); res.end(); }
    }, 100);
    res.on('close', () => clearInterval(t));
  },
};

const server = http.createServer((req, res) => {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    if (req.url === '/echo.json') {
      // The request as JSON: method, Content-Length and the body decoded as UTF-8.
      const body = Buffer.concat(chunks);
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify({ method: req.method, length: body.length, body: body.toString('utf8') }));
      return;
    }
    if (req.url === '/echo') {
      // Method, framing headers, then the request body byte for byte.
      const h = req.headers;
      const head = `${req.method}\nlength=${h['content-length'] ?? '-'}\nexpect=${h['expect'] ?? '-'}` +
                   `\ntype=${h['content-type'] ?? '-'}\n`;
      res.writeHead(200);
      res.end(Buffer.concat([Buffer.from(head), ...chunks]));
      return;
    }
    const route = routes[req.url];
    if (route) route(req, res);
    else { res.writeHead(404); res.end(); }
  });
});
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`${server.address().port}\n`);
});
