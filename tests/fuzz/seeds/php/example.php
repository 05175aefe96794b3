<?php
namespace App;

use App\Models\User;
require_once "config.php";

// tools:suppress phpcs:LineLength
function greet(User $user): string {
    if ($user->isAdmin()) {
        return "Hello, admin " . $user->name();
    }
    return sprintf("Hello, %s", $user->name());
}

class Greeter {
    public function run(array $users): void {
        foreach ($users as $u) { echo greet($u), PHP_EOL; }
    }
}
