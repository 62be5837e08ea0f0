// velmaris-mcp driven by the official MCP TypeScript SDK client on a virtual desktop, against
// the GTK fixture: what only real processes show (the SDK's handshake and schemas, images
// through a real pipe, cancellation racing a running call, end of input, a silent stderr).
//
//   node client_test.cjs SERVER FIXTURE   (NODE_PATH holds the SDK; VELMARIS_MCP_RECORD=FILE
//                                          writes the JSON exchanged by the client session)
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

const [server, fixturePath] = process.argv.slice(2);
const app = 'org.velmaris.Mcp';
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A child on pipes whose stdout is taken line by line.
function child(command, args) {
  const proc = spawn(command, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  const lines = [];
  const waiters = [];
  let stdout = '';
  let stderr = '';
  proc.stdout.on('data', (data) => {
    stdout += data;
    for (let end; (end = stdout.indexOf('\n')) >= 0; stdout = stdout.slice(end + 1)) {
      lines.push(stdout.slice(0, end));
      if (waiters.length) waiters.shift()();
    }
  });
  proc.stderr.on('data', (data) => (stderr += data));
  const exited = new Promise((resolve) => proc.on('exit', (code) => resolve(code)));
  return {
    proc, exited, stderr: () => stderr,
    write: (text) => proc.stdin.write(text),
    async line(ms = 5000) {
      if (!lines.length) await Promise.race([new Promise((r) => waiters.push(r)), sleep(ms)]);
      return lines.length ? lines.shift() : null;
    },
  };
}

// The JSON-RPC messages of a client session, when asked to record them.
function recorded(transport) {
  const file = process.env.VELMARIS_MCP_RECORD;
  if (!file) return transport;
  const log = (direction, message) => fs.appendFileSync(file, `${direction} ${JSON.stringify(message)}\n`);
  const send = transport.send.bind(transport);
  transport.send = (message, options) => (log('>', message), send(message, options));
  let handler;
  Object.defineProperty(transport, 'onmessage', {
    get: () => handler && ((message, extra) => (log('<', message), handler(message, extra))),
    set: (h) => (handler = h),
  });
  return transport;
}

let fixture;
let client;
let transport;
let windowID;
let serverErrors = '';

async function call(name, args, options) {
  return client.callTool({ name, arguments: args }, undefined, options);
}

function findNode(node, identifier) {
  if (node.identifier === identifier) return node;
  for (const c of node.children || []) {
    const found = findNode(c, identifier);
    if (found) return found;
  }
  return null;
}

async function observe(extra = {}) {
  const result = await call('observe', { app, window_id: windowID, ...extra });
  assert.equal(result.isError, false, JSON.stringify(result));
  // The text is the structured content, written out.
  assert.deepEqual(JSON.parse(result.content[0].text), result.structuredContent);
  return result;
}

test.before(async () => {
  fixture = child(fixturePath, [`--app-id=${app}`, '--title=Mcp', '--widgets=actions']);
  assert.equal(await fixture.line(10000), 'ready');
  transport = recorded(new StdioClientTransport({ command: server, env: process.env, stderr: 'pipe' }));
  transport.stderr.on('data', (data) => (serverErrors += data));
  client = new Client({ name: 'velmaris-tests', version: '1.0.0' });
  await client.connect(transport);
  // The registry shows the window a little after the window manager does.
  for (let tries = 0; tries < 100 && !windowID; tries++, await sleep(100)) {
    const result = await call('windows', { app });
    windowID = result.structuredContent.windows?.[0]?.window_id;
  }
  assert.ok(windowID, 'the fixture window is listed');
});

test.after(async () => {
  await client?.close();
  assert.equal(serverErrors, '');
  fixture?.proc.kill();
});

test('the SDK accepts every tool and its schema', async () => {
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), ['windows', 'observe', 'observe_targets', 'press',
    'action', 'set_value', 'press_target', 'set_value_target', 'browser_status', 'browser_reveal']);
  assert.equal(client.getServerVersion().name, 'velmaris-mcp');
});

test('observe, press, see the effect, write a value, get an image', async () => {
  let observation = await observe();
  const tree = observation.structuredContent.tree;
  assert.ok(findNode(tree, 'fixture.press').pressable);
  const { observation_id } = observation.structuredContent;

  const pressed = await call('press', { app, window_id: windowID, observation_id,
    element_ref: findNode(tree, 'fixture.press').element_ref });
  assert.equal(pressed.structuredContent.action_accepted, true, JSON.stringify(pressed));
  const counter = (t) => JSON.stringify(t).includes('"Pressed 1"');
  for (let tries = 0; tries < 30 && !counter(observation.structuredContent.tree); tries++) {
    await sleep(100);
    observation = await observe();
  }
  assert.ok(counter(observation.structuredContent.tree), 'the press reached the application');

  // The press used the first observation up.
  const again = await call('press', { app, window_id: windowID, observation_id,
    element_ref: findNode(tree, 'fixture.press').element_ref });
  assert.equal(again.isError, true);
  assert.equal(again.structuredContent.error.code, 'observation_unavailable');

  const entry = findNode(observation.structuredContent.tree, 'fixture.entry');
  const written = await call('set_value', { app, window_id: windowID, element_ref: entry.element_ref,
    observation_id: observation.structuredContent.observation_id, value: 'typed through MCP' });
  assert.equal(written.structuredContent.value_verified, true, JSON.stringify(written));
  assert.equal(findNode((await observe()).structuredContent.tree, 'fixture.entry').value, 'typed through MCP');

  const pictured = await observe({ include_image: true });
  const [text, image] = pictured.content;
  assert.equal(text.type, 'text');
  assert.equal(image.type, 'image');
  assert.equal(image.mimeType, 'image/jpeg');
  const jpeg = Buffer.from(image.data, 'base64');
  assert.equal(jpeg.readUInt16BE(0), 0xffd8);
  const { visual } = pictured.structuredContent;
  assert.equal(visual.bytes, jpeg.length);
  assert.ok(visual.width > 0 && visual.height > 0 && visual.scale_x > 0);
  assert.equal(pictured.structuredContent.content, undefined);
});

test('refusals are tool errors with the helper code; an unknown tool is a protocol error', async () => {
  for (const args of [{ app, window_id: String(windowID) }, { app, window_id: windowID, extra: 1 }]) {
    const result = await call('observe', args);
    assert.equal(result.isError, true, JSON.stringify(args));
    assert.deepEqual(result.structuredContent, { error: { code: 'invalid_input' } });
  }
  const gone = await call('windows', { app: 'org.example.NotRunning' });
  assert.equal(gone.structuredContent.error.code, 'process_not_found');
  await assert.rejects(call('no_such_tool', {}), { code: -32602 });
});

test('a cancelled call is never answered and the server goes on', async () => {
  const errors = [];
  client.onerror = (e) => errors.push(e);
  for (let i = 0; i < 5; i++) {
    const controller = new AbortController();
    const pending = call('observe', { app, window_id: windowID, include_image: true },
      { signal: controller.signal });
    controller.abort('changed my mind');
    await assert.rejects(pending);
  }
  await client.ping();
  assert.equal((await observe()).structuredContent.window_id, windowID);
  assert.deepEqual(errors, []);  // an answer to a cancelled id would show up here
});

test('an over-long line and end of input on the raw pipe', async () => {
  const raw = child(server, []);
  const next = async () => JSON.parse(await raw.line());
  raw.write(`{"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":"${'x'.repeat(70000)}"}}\n`);
  assert.deepEqual((await next()).error.code, -32600);
  // The last line needs no line feed; end of input ends the server once it is answered.
  raw.write('{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"windows","arguments":{"app":"x"}}}');
  raw.proc.stdin.end();
  assert.equal((await next()).id, 3);
  assert.equal(await raw.exited, 0);
  assert.equal(raw.stderr(), '');
});
