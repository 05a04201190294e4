// Runs the Khronos glTF validator on each file named on the command line.
// Prints a line for each file with errors or warnings (its name and their
// codes), then "N files without fault". A PNG picture embedded as it came
// may carry colour-space chunks; the one warning about that is allowed.
const fs = require('fs');
const validator = require('gltf-validator');

(async () => {
    let clean = 0;
    for (const file of process.argv.slice(2)) {
        const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), { maxIssues: 0 });
        const faults = report.issues.messages
            .filter((m) => m.severity <= 1 && m.code !== 'IMAGE_FEATURES_UNSUPPORTED')
            .map((m) => `${m.code}@${m.pointer || ''}: ${m.message}`);
        if (faults.length > 0) console.log(`${file}: ${faults.join('; ')}`);
        else ++clean;
    }
    console.log(`${clean} files without fault`);
})().catch((e) => {
    console.error(String(e));
    process.exit(2);
});
