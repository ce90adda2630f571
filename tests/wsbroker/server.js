// An MQTT broker (aedes, MQTT 3.1.1) over WebSockets for the QOR MQTT tests:
// plain HTTP for ws:// and HTTPS for wss://, on 127.0.0.1, serving the path
// /mqtt only (any other path, and a request that asks for no upgrade, is
// answered 404). Every connection and MQTT event is logged to stdout.
//   node server.js WS_PORT [WSS_PORT CERT KEY]
// A port of 0 leaves that listener out. "listening ws PORT" (and "listening
// wss PORT") say when it is ready.
import fs from 'node:fs'
import http from 'node:http'
import https from 'node:https'
import { Aedes } from 'aedes'
import { WebSocketServer, createWebSocketStream } from 'ws'

const [wsPort, wssPort, certFile, keyFile] = process.argv.slice(2)
const log = (...words) => console.log(new Date().toISOString().slice(11, 23), ...words)

const aedes = await Aedes.createBroker()
aedes.on('client', (client) => log('client connected', client.id))
aedes.on('clientDisconnect', (client) => log('client disconnected', client.id))
aedes.on('clientError', (client, err) => log('client error', client.id, err.message))
aedes.on('connectionError', (client, err) => log('connection error', err.message))
aedes.on('subscribe', (subs, client) => log('subscribe', client.id, subs.map((s) => `${s.topic}@${s.qos}`).join(' ')))
aedes.on('publish', (packet, client) => {
  if (client) log('publish', client.id, packet.topic, `qos=${packet.qos}`, `${packet.payload.length} bytes`)
})

const sockets = new WebSocketServer({
  noServer: true,
  maxPayload: 512 * 1024 * 1024,
  handleProtocols: (protocols) => (protocols.has('mqtt') ? 'mqtt' : false),
})
sockets.on('connection', (socket, request) => {
  log('websocket from', request.socket.remotePort, 'protocol', socket.protocol || '(none)')
  aedes.handle(createWebSocketStream(socket), request)
})

function listen (server, scheme, port) {
  server.on('request', (request, response) => {
    log(scheme, 'plain request', request.method, request.url, '-> 404')
    response.writeHead(404).end()
  })
  server.on('upgrade', (request, socket, head) => {
    if (new URL(request.url, 'http://host').pathname !== '/mqtt') {
      log(scheme, 'upgrade for', request.url, '-> 404')
      socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n')
      return
    }
    sockets.handleUpgrade(request, socket, head, (ws) => sockets.emit('connection', ws, request))
  })
  server.on('tlsClientError', (err) => log(scheme, 'TLS error', err.message))
  server.listen(Number(port), '127.0.0.1', () => log('listening', scheme, server.address().port))
}

if (Number(wsPort) > 0) listen(http.createServer(), 'ws', wsPort)
if (Number(wssPort) > 0) {
  listen(https.createServer({ cert: fs.readFileSync(certFile), key: fs.readFileSync(keyFile) }), 'wss', wssPort)
}
process.on('SIGTERM', () => process.exit(0))
