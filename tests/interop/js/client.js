// Uses a share with the @marsaud/smb2 client (which logs on with NTLMv1):
//   node client.js PORT SHARE USER PASSWORD read NAME   the file, to standard output
//   node client.js PORT SHARE USER PASSWORD list PATH   one name a line ("" is the root)
// On an error prints the status text to standard error and exits 1.
const SMB2 = require('@marsaud/smb2');
const [port, share, user, password, op, name] = process.argv.slice(2);
const client = new SMB2({
    share: '\\\\127.0.0.1\\' + share, domain: 'WORKGROUP', username: user, password: password,
    port: Number(port), autoCloseTimeout: 0,
});
const done = (err, data) => {
    if (err) {
        process.stderr.write(String(err.message || err) + '\n');
        process.exit(1);
    }
    process.stdout.write(op === 'list' ? data.sort().join('\n') + '\n' : data,
                         () => process.exit(0));
};
if (op === 'list') client.readdir(name, done);
else client.readFile(name, done);
