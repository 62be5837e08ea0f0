// The time of one "observe" of the GTK fixture through velmaris-gui and through velmaris-mcp,
// alternating, measured at the client from writing the request to reading the whole answer:
// raw lines on both pipes, and the official MCP SDK client's callTool. Prints medians for
// the tree, the tree with its image, and a request refused before any platform call (what
// the two channels and the MCP mapping cost by themselves), and each server's processor time
// per call (user + system, from /proc), which a loaded machine disturbs far less.
//
//   scripts/virtual-desktop -- env NODE_PATH=build/mcp-client/node_modules \
//     node bench/mcp_observe_latency.cjs build/bin/velmaris-gui build/bin/velmaris-mcp \
//     build/bin/velmaris-fixture [RUNS]
'use strict';
const { spawn } = require('node:child_process');
const { Client } = require('@modelcontextprotocol/sdk/client/index.js');
const { StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js');

const [gui, mcp, fixturePath, runsText] = process.argv.slice(2);
const runs = Number(runsText || 30);
const app = 'org.velmaris.Bench';
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A program on pipes answering one line per line.
function lineProgram(command, args = []) {
  const proc = spawn(command, args, { stdio: ['pipe', 'pipe', 'ignore'] });
  let buffer = '';
  let waiting = null;
  proc.stdout.on('data', (data) => {
    buffer += data;
    const end = buffer.indexOf('\n');
    if (end >= 0 && waiting) {
      const line = buffer.slice(0, end);
      buffer = buffer.slice(end + 1);
      const resolve = waiting;
      waiting = null;
      resolve(line);
    }
  });
  return {
    proc,
    ask(line) {
      return new Promise((resolve) => {
        waiting = resolve;
        proc.stdin.write(line + '\n');
      });
    },
  };
}

async function timed(fn) {
  const start = process.hrtime.bigint();
  const value = await fn();
  return [Number(process.hrtime.bigint() - start) / 1e6, value];
}

// Processor time a process has used so far, in milliseconds.
function cpuMillis(pid) {
  const fields = require('node:fs').readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 1000 / 100;  // utime + stime, at 100 Hz
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

(async () => {
  const fixture = lineProgram(fixturePath, [`--app-id=${app}`, '--title=Bench', '--widgets=actions']);
  await new Promise((resolve) => fixture.proc.stdout.once('data', resolve));

  const helper = lineProgram(gui);
  const server = lineProgram(mcp);
  await server.ask(JSON.stringify({ jsonrpc: '2.0', id: 0, method: 'initialize',
    params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'bench', version: '1' } } }));
  server.proc.stdin.write('{"jsonrpc":"2.0","method":"notifications/initialized"}\n');
  const transport = new StdioClientTransport({ command: mcp, env: process.env });
  const client = new Client({ name: 'bench', version: '1' });
  await client.connect(transport);

  let window;
  for (let i = 0; i < 100 && !window; i++, await sleep(100)) {
    window = JSON.parse(await helper.ask(JSON.stringify({ id: 1, method: 'windows', app }))).result?.windows?.[0]?.window_id;
  }
  await server.ask(JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/call', params: { name: 'windows', arguments: { app } } }));
  await client.callTool({ name: 'windows', arguments: { app } });

  const cases = { tree: { app, window_id: window }, include_image: { app, window_id: window, include_image: true },
    refused: { app, window_id: 'x' } };
  for (const [name, args] of Object.entries(cases)) {
    const times = { gui: [], mcp: [], sdk: [] };
    let bytes = {};
    const cpu = { gui: cpuMillis(helper.proc.pid), mcp: cpuMillis(server.proc.pid) };
    for (let i = 0; i < runs; i++) {
      const [g, gl] = await timed(() => helper.ask(JSON.stringify({ id: i, method: 'observe', ...args })));
      const [m, ml] = await timed(() => server.ask(JSON.stringify({ jsonrpc: '2.0', id: i + 10, method: 'tools/call',
        params: { name: 'observe', arguments: args } })));
      const [s] = await timed(() => client.callTool({ name: 'observe', arguments: args }));
      if (name !== 'refused' && !(gl.includes('"observation_id"') && ml.includes('"observation_id"'))) throw new Error(gl + ml);
      times.gui.push(g); times.mcp.push(m); times.sdk.push(s);
      bytes = { gui: gl.length, mcp: ml.length };
    }
    console.log(JSON.stringify({ observe: name, runs,
      median_ms: Object.fromEntries(Object.entries(times).map(([k, v]) => [k, +median(v).toFixed(2)])),
      cpu_ms_per_call: { gui: +((cpuMillis(helper.proc.pid) - cpu.gui) / runs).toFixed(2),
        mcp: +((cpuMillis(server.proc.pid) - cpu.mcp) / runs).toFixed(2) },
      response_bytes: bytes }));
  }
  await client.close();
  for (const p of [helper, server, fixture]) p.proc.kill();
})().catch((e) => { console.error(e); process.exit(1); });
